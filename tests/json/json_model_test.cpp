// The node model: ownership and deep copies, lookups, conversions between
// kinds, document shapes, and the exact error messages.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "json/json.h"

namespace tandemize::json {
namespace {

// Runs `action` and returns the message it failed with ("" when it did not).
std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EJsonException& e) {
    return e.what();
  }
  return "";
}

TEST(JsonModel, ObjectLookupsFoldAsciiCaseOnlyAndAutoAdd) {
  TJsonObject object;
  object.Put("a", 1);
  object.Put("a", 2);  // Put never replaces
  object.Put("Name", "n");
  object.Put("\xc3\xa9", "e-acute");  // é
  EXPECT_EQ(object.Count(), 4);
  EXPECT_EQ(object.Find("A"), 0);
  EXPECT_EQ(object.Find("NAME"), 2);
  EXPECT_EQ(object.Find("\xc3\x89"), -1);  // É is not folded onto é
  EXPECT_EQ(object.Find("Nam"), -1);
  EXPECT_EQ(object["A"].AsInteger(), 1);

  // Reading a missing member adds it, and it is written as null.
  EXPECT_TRUE(object.Values("x").IsEmpty());
  EXPECT_EQ(object.Count(), 5);
  EXPECT_EQ(object.Stringify(),
            "{\"a\":1,\"a\":2,\"Name\":\"n\",\"\\u00e9\":\"e-acute\",\"x\":null}");

  object.AutoAdd(false);
  EXPECT_EQ(FailureOf([&] { object.Values("y"); }), "<TJsonObject>y not found");
  EXPECT_EQ(object.Count(), 5);

  object.Delete("A");
  EXPECT_EQ(object["a"].AsInteger(), 2);
  EXPECT_EQ(FailureOf([&] { object.Delete("zz"); }), "<TJsonObject>\"zz\" not found");
  object.Insert(0, "first").Value().AsBoolean(true);
  EXPECT_EQ(object.Items(0).Name(), "first");
  EXPECT_EQ(FailureOf([&] { object.Items(5); }), "List index out of bounds (5)");
  EXPECT_EQ(FailureOf([&] { object.Insert(-1, "z"); }), "List index out of bounds (-1)");
}

TEST(JsonModel, GettersConvertBetweenScalarKinds) {
  struct Row {
    std::function<void(TJsonValue&)> set;
    const char* asString;
    std::int64_t asInteger;
    double asNumber;
    bool asBoolean;
  };
  const Row rows[] = {
      {[](TJsonValue&) {}, "", 0, 0, false},
      {[](TJsonValue& v) { v.IsNull(true); }, "", 0, 0, false},
      {[](TJsonValue& v) { v.AsString("0x10"); }, "0x10", 16, 0, false},  // number read fails
      {[](TJsonValue& v) { v.AsString("TRUE"); }, "TRUE", 0, 0, true},
      {[](TJsonValue& v) { v.AsString("2.5"); }, "2.5", 0, 2.5, false},
      {[](TJsonValue& v) { v.AsInteger(-7); }, "-7", -7, -7, true},
      {[](TJsonValue& v) { v.AsInteger(0); }, "0", 0, 0, false},
      {[](TJsonValue& v) { v.AsNumber(-2.9); }, "-2.9", -2, -2.9, true},
      {[](TJsonValue& v) { v.AsNumber(0.1); }, "0.1", 0, 0.1, true},
      {[](TJsonValue& v) { v.AsBoolean(true); }, "true", 1, 1, true},
      {[](TJsonValue& v) { v.AsBoolean(false); }, "false", 0, 0, false},
  };
  for (const Row& row : rows) {
    TJsonValue value;
    row.set(value);
    SCOPED_TRACE(value.Stringify());
    EXPECT_EQ(value.AsString(), row.asString);
    EXPECT_EQ(value.AsBoolean(), row.asBoolean);
    if (value.ValueType() == TJsonValueType::jvString) {
      // Texts convert only when they read wholly as the wanted kind.
      if (row.asInteger == 0) {
        EXPECT_EQ(FailureOf([&] { value.AsInteger(); }),
                  std::string("'") + row.asString + "' is not a valid integer value");
      } else {
        EXPECT_EQ(value.AsInteger(), row.asInteger);
      }
      if (row.asNumber == 0) {
        EXPECT_EQ(FailureOf([&] { value.AsNumber(); }),
                  std::string("'") + row.asString + "' is not a valid floating point value");
      } else {
        EXPECT_EQ(value.AsNumber(), row.asNumber);
      }
    } else {
      EXPECT_EQ(value.AsInteger(), row.asInteger);
      EXPECT_EQ(value.AsNumber(), row.asNumber);
    }
  }

  TJsonValue nan;
  nan.AsNumber(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(nan.AsBoolean());
  EXPECT_EQ(FailureOf([&] { nan.AsInteger(); }), "'NAN' is not a valid integer value");
  TJsonValue huge;
  huge.AsNumber(1e30);
  EXPECT_EQ(FailureOf([&] { huge.AsInteger(); }), "'1E30' is not a valid integer value");
  TJsonValue yes;
  yes.AsString("yes");
  EXPECT_FALSE(yes.AsBoolean());
}

TEST(JsonModel, KindErrorsNameTheMemberAndBothKinds) {
  TJson document;
  document.Parse("{\"city\":\"Lisboa\",\"n\":null,\"o\":{},\"list\":[[1]]}");
  const struct {
    std::function<void()> action;
    const char* message;
  } cases[] = {
      {[&] { document["city"].AsObject(); },
       "<TJsonValue>\"city\" value type error: jvString to jvObject"},
      {[&] { document["n"].AsArray(); }, "<TJsonValue>\"n\" value type error: jvNull to jvArray"},
      {[&] { document["o"].AsString(); },
       "<TJsonValue>\"o\" value type error: jvObject to jvString"},
      {[&] { document["o"].AsInteger(); },
       "<TJsonValue>\"o\" value type error: jvObject to jvInteger"},
      {[&] { document["list"].AsArray().Items(0).AsNumber(); },
       "<TJsonValue>\"list\" value type error: jvArray to jvNumber"},
      {[&] { document["list"].AsBoolean(); },
       "<TJsonValue>\"list\" value type error: jvArray to jvBoolean"},
      {[] { TJsonValue().AsObject().Put("k", 1).AsArray(); },
       "<TJsonValue>\"k\" value type error: jvInteger to jvArray"},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureOf(c.action), c.message);

  // An unset value becomes the container asked for.
  TJsonValue value;
  value.AsObject().Put("a", 1);
  EXPECT_EQ(value.Stringify(), "{\"a\":1}");
  TJsonValue other;
  other.AsArray().Put(TJsonNull::null);
  EXPECT_EQ(other.Stringify(), "[null]");
}

TEST(JsonModel, EmptyAndNullFlagsRetypeTheValue) {
  TJsonValue value;
  value.AsString("abc");
  value.IsNull(false);  // targets jvNone: the text is discarded
  EXPECT_EQ(value.ValueType(), TJsonValueType::jvNone);
  EXPECT_EQ(value.AsString(), "");
  value.AsInteger(5);
  value.IsEmpty(false);  // targets jvNull
  EXPECT_TRUE(value.IsNull());
  EXPECT_EQ(value.AsInteger(), 0);
  value.IsNull(true);
  EXPECT_TRUE(value.IsNull());
  value.IsEmpty(true);
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_EQ(value.Stringify(), "null");
}

TEST(JsonModel, EveryHandOverIsADeepCopy) {
  TJsonObject source;
  source.Put("n", 1);
  source.Put("inner", TJsonObject()).AsObject().Put("deep", "x");

  TJsonArray array;
  TJsonValue& held = array.Put(source);
  source["inner"].AsObject()["deep"].AsString("changed");
  source.Put("later", true);
  EXPECT_EQ(held.Stringify(), "{\"n\":1,\"inner\":{\"deep\":\"x\"}}");

  // The copy's nodes belong to the array that holds them.
  EXPECT_EQ(held.Owner(), &array);
  TJsonObject& copy = held.AsObject();
  EXPECT_EQ(copy.Owner(), &held);
  EXPECT_EQ(copy.Items(1).Owner(), &copy);
  EXPECT_EQ(copy.Items(1).Value().Owner(), &copy.Items(1));

  TJsonObject merged;
  merged.Put("n", 0);
  merged.Merge(source);  // existing names are kept, copies appended
  EXPECT_EQ(merged.Stringify(),
            "{\"n\":0,\"n\":1,\"inner\":{\"deep\":\"changed\"},\"later\":true}");

  TJsonArray other;
  other.Put(TJsonEmpty::empty);
  other.Put(2.5);
  other.Put(TJsonValue());
  array.Merge(other);
  EXPECT_EQ(array.Count(), 4);
  EXPECT_EQ(array.Stringify(), "[{\"n\":1,\"inner\":{\"deep\":\"x\"}},null,2.5,null]");

  TJsonPair pair(nullptr, "p");
  pair.Value().AsArray().Put(1);
  TJsonObject holder;
  holder.Put(pair).AsArray().Put(2);
  EXPECT_EQ(pair.Stringify(), "\"p\":[1]");
  EXPECT_EQ(holder.Stringify(), "{\"p\":[1,2]}");
}

TEST(JsonModel, CopiesWithinOneTreeAreSafe) {
  // Source and target on one branch: the copy must not read what it frees or grows.
  TJson document;
  document.Parse("{\"a\":{\"b\":[1,2]}}");
  TJsonValue& a = document["a"];
  a.Assign(&a.AsObject()["b"]);  // a value takes its own descendant
  EXPECT_EQ(document.Stringify(), "{\"a\":[1,2]}");

  TJsonArray& list = a.AsArray();
  list.Put(list);
  list.Merge(list);
  EXPECT_EQ(document.Stringify(), "{\"a\":[1,2,[1,2],1,2,[1,2]]}");

  TJsonObject& root = document.JsonObject();
  root.Put("self", root);
  root.Merge(root);
  EXPECT_EQ(root.Count(), 4);
  EXPECT_EQ(root.Items(1).Value().Stringify(), "{\"a\":[1,2,[1,2],1,2,[1,2]]}");

  TJsonValue& inner = list.Items(2);
  inner.AsArray(inner.AsArray());  // assigning a container to itself keeps it
  EXPECT_EQ(inner.Stringify(), "[1,2]");
  list.Items(0).Assign(&list.Items(0));
  EXPECT_EQ(list.Items(0).AsInteger(), 1);

  // Text taken from inside the container that the new text replaces.
  TJsonValue holder;
  const std::string name = "a member name too long to sit inside the string object";
  holder.AsObject().Add(name);
  holder.AsString(holder.AsObject().Items(0).Name());
  EXPECT_EQ(holder.AsString(), name);

  TJson copy;
  copy.Put(document);
  copy.Assign(&copy);
  EXPECT_EQ(copy.Get(0).AsObject().Count(), 4);
}

TEST(JsonModel, AssignRefusesSourcesOfTheWrongClass) {
  TJsonObject object;
  object.Put("k", 1);
  TJsonArray array;
  array.Put(1);
  TJsonValue scalar;
  scalar.AsInteger(3);
  TJsonPair pair(nullptr, "name");
  pair.Value().AsString("kept");

  const struct {
    std::function<void()> action;
    const char* message;
  } cases[] = {
      {[&] { array.Assign(&object); }, "<TJsonArray>assign error: TJsonObject to TJsonArray"},
      {[&] { object.Assign(nullptr); }, "<TJsonObject>assign error: nil to TJsonObject"},
      {[&] { scalar.Assign(&pair); }, "<TJsonValue>assign error: TJsonPair to TJsonValue"},
      {[&] { pair.Assign(&scalar); }, "<TJsonPair>assign error: TJsonValue to TJsonPair"},
      {[&] { scalar.AsObject(nullptr); }, "<TJsonObject>assign error: nil to TJsonObject"},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureOf(c.action), c.message);
  // A failed assign has cleared its target; a refused pair is untouched.
  EXPECT_EQ(array.Count(), 0);
  EXPECT_EQ(object.Count(), 0);
  EXPECT_EQ(scalar.Stringify(), "{}");
  EXPECT_EQ(pair.Stringify(), "\"name\":\"kept\"");

  TJson document;
  TJsonValue number;
  number.AsNumber(1);
  EXPECT_EQ(FailureOf([&] { document.Assign(&number); }),
            "<TJson>assign error: TJsonValue to TJson");
  TJsonValue holder;
  holder.AsArray().Put("x");
  document.Assign(&holder);
  EXPECT_EQ(document.StructType(), TJsonStructType::jsArray);
  EXPECT_EQ(document.Stringify(), "[\"x\"]");
}

TEST(JsonModel, DocumentTakesItsShapeFromTheFirstUse) {
  TJson document;
  EXPECT_EQ(document.Count(), 0);
  EXPECT_EQ(document.Stringify(), "");
  EXPECT_EQ(FailureOf([&] { document.Get(0); }), "<TJson>json struct type is jsNone");
  EXPECT_EQ(FailureOf([&] { document.Delete(0); }), "<TJson>json struct type is jsNone");
  EXPECT_EQ(FailureOf([&] { document.Delete("a"); }), "<TJson>json struct type is not jsObject");
  EXPECT_EQ(document.StructType(), TJsonStructType::jsNone);

  document.Put(7);
  EXPECT_EQ(document.Stringify(), "[7]");
  EXPECT_EQ(FailureOf([&] { document.Put("a", 1); }), "<TJson>json struct type is not jsObject");
  EXPECT_EQ(FailureOf([&] { document.JsonObject(); }), "<TJson>json struct type is not jsObject");
  EXPECT_EQ(FailureOf([&] { document["a"]; }), "<TJson>json struct type is not jsObject");

  TJson none;
  EXPECT_EQ(document.Put(none), nullptr);
  EXPECT_EQ(document.Count(), 1);
  TJson object;
  EXPECT_TRUE(object.Get("a").IsEmpty());  // makes it an object with "a"
  EXPECT_EQ(object.Stringify(), "{\"a\":null}");
  EXPECT_EQ(FailureOf([&] { object.Put(1); }), "<TJson>json struct type is not jsArray");
  object.Put("b", TJsonNull::null);
  EXPECT_EQ(object.Put("none", none), nullptr);
  ASSERT_NE(document.Put(object), nullptr);
  EXPECT_EQ(document.Stringify(), "[7,{\"a\":null,\"b\":null}]");
  EXPECT_EQ(document.Get(1).AsObject().Items(1).Name(), "b");
  document.Delete(0);
  EXPECT_EQ(document.Count(), 1);
  document.Clear();
  EXPECT_EQ(document.StructType(), TJsonStructType::jsNone);
  EXPECT_EQ(object.Get(1).IsNull(), true);
  object.Delete("A");
  EXPECT_EQ(object.Stringify(), "{\"b\":null}");
}

TJsonObject ParsedObject(const char* text) {
  TJsonObject object;
  object.Parse(text);
  return object;  // moved out
}

TEST(JsonModel, MovingHandsOverTheChildren) {
  TJsonObject object = ParsedObject("{\"a\":{\"b\":[1]},\"c\":2}");
  EXPECT_EQ(object.Owner(), nullptr);
  EXPECT_EQ(object.Items(0).Owner(), &object);
  EXPECT_EQ(FailureOf([&] { object["a"].AsString(); }),
            "<TJsonValue>\"a\" value type error: jvObject to jvString");

  TJsonArray target;
  TJsonValue& slot = target.Add();
  TJsonValue moved = std::move(object["a"]);
  EXPECT_TRUE(object["a"].IsEmpty());
  EXPECT_EQ(moved.AsObject().Owner(), &moved);
  slot = std::move(moved);  // the slot keeps its place in the array
  EXPECT_EQ(slot.Owner(), &target);
  EXPECT_EQ(slot.AsObject().Owner(), &slot);
  EXPECT_EQ(target.Stringify(), "[{\"b\":[1]}]");

  // Moving a descendant over its own ancestor copies instead of freeing the source.
  slot = std::move(slot.AsObject()["b"]);
  EXPECT_EQ(target.Stringify(), "[[1]]");

  TJson document;
  document.Parse("[1,{\"k\":true}]");
  TJson other = std::move(document);
  EXPECT_EQ(document.StructType(), TJsonStructType::jsNone);
  EXPECT_EQ(other.JsonArray().Owner(), &other);
  EXPECT_EQ(other.Stringify(), "[1,{\"k\":true}]");
  TJsonPair pair(nullptr, "p");
  pair.Value().AsArray().Put(3);
  TJsonPair movedPair = std::move(pair);
  EXPECT_EQ(movedPair.Value().AsArray().Owner(), &movedPair.Value());
  EXPECT_EQ(movedPair.Stringify(), "\"p\":[3]");
}

// Values moved off the front of an array keep their order and contents and
// belong to the target; asking for more than there are moves what is left.
TEST(JsonModel, MovingTheFirstValuesToAnotherArray) {
  TJsonArray source;
  source.Parse("[1,{\"k\":[2]},\"x\",null]");
  TJsonArray target;
  target.Put(0);
  EXPECT_EQ(source.MoveFirstTo(2, target), 2);
  EXPECT_EQ(source.Stringify(), "[\"x\",null]");
  EXPECT_EQ(target.Stringify(), "[0,1,{\"k\":[2]}]");
  for (int i = 0; i < target.Count(); ++i) EXPECT_EQ(target[i].Owner(), &target);
  EXPECT_EQ(target[2].AsObject().Owner(), &target[2]);
  EXPECT_EQ(source.MoveFirstTo(10, target), 2);
  EXPECT_EQ(source.Count(), 0);
  EXPECT_EQ(source.MoveFirstTo(1, target), 0);
  EXPECT_EQ(source.MoveFirstTo(-1, target), 0);
  EXPECT_EQ(target.Stringify(), "[0,1,{\"k\":[2]},\"x\",null]");

  // Taken apart a few at a time, the array stays whole for every other
  // operation between the moves (reading, inserting, deleting, copying,
  // moving it), however far the taking has gone.
  TJsonArray rows;
  std::vector<std::int64_t> expected;
  for (std::int64_t i = 0; i < 200; ++i) {
    rows.Put(i);
    expected.push_back(i);
  }
  std::vector<std::int64_t> taken;
  int step = 0;
  while (rows.Count() > 0) {
    TJsonArray batch;
    const int moved = rows.MoveFirstTo(7, batch);
    ASSERT_EQ(moved, std::min<int>(7, static_cast<int>(expected.size())));
    for (int i = 0; i < batch.Count(); ++i) {
      EXPECT_EQ(batch[i].Owner(), &batch);
      taken.push_back(batch[i].AsInteger());
    }
    expected.erase(expected.begin(), expected.begin() + moved);
    switch (++step % 5) {
      case 0:
        rows.Insert(0).AsInteger(-1);
        expected.insert(expected.begin(), -1);
        break;
      case 1:
        if (rows.Count() > 1) {
          rows.Delete(1);
          expected.erase(expected.begin() + 1);
        }
        break;
      case 2: {
        TJsonArray copy;
        copy.Assign(rows);
        rows = std::move(copy);
        break;
      }
      case 3: {
        TJsonArray movedOut(std::move(rows));
        rows = std::move(movedOut);
        break;
      }
      default:
        rows.Put(static_cast<std::int64_t>(1000 + step));
        expected.push_back(1000 + step);
        break;
    }
    ASSERT_EQ(rows.Count(), static_cast<int>(expected.size()));
    std::string text = "[";
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (i) text += ',';
      text += std::to_string(expected[i]);
      EXPECT_EQ(rows[static_cast<int>(i)].AsInteger(), expected[i]);
      EXPECT_EQ(rows[static_cast<int>(i)].Owner(), &rows);
    }
    EXPECT_EQ(rows.Stringify(), text + "]");
  }
  EXPECT_EQ(taken.front(), 0);
  EXPECT_GT(taken.size(), 200u);
}

// Deleting the first value, again and again, leaves the others in order and
// owned by the array, with values added at either end in between.
TEST(JsonModel, DeletingFromTheFront) {
  TJsonArray rows;
  std::vector<std::string> expected;
  for (int i = 0; i < 50; ++i) {
    rows.Put(std::to_string(i));
    expected.push_back(std::to_string(i));
  }
  for (int step = 0; !expected.empty(); ++step) {
    rows.Delete(0);
    expected.erase(expected.begin());
    if (step % 7 == 3) {
      rows.Put("end" + std::to_string(step));
      expected.push_back("end" + std::to_string(step));
    }
    if (step % 11 == 5) {
      rows.Insert(0).AsString("front" + std::to_string(step));
      expected.insert(expected.begin(), "front" + std::to_string(step));
    }
    ASSERT_EQ(rows.Count(), static_cast<int>(expected.size()));
    for (int i = 0; i < rows.Count(); ++i) {
      EXPECT_EQ(rows[i].AsString(), expected[static_cast<std::size_t>(i)]);
      EXPECT_EQ(rows[i].Owner(), &rows);
    }
  }
  EXPECT_EQ(rows.Stringify(), "[]");
  EXPECT_THROW(rows.Delete(0), EJsonListError);
}

TEST(JsonModel, FailedParseKeepsWhatWasBuilt) {
  TJsonObject object;
  object.Put("old", 1);
  EXPECT_NE(FailureOf([&] { object.Parse("{\"a\":1,\"b\":[2,x],\"c\":3}"); }), "");
  // Cleared first; "a" stays, "b" keeps its kind with the elements before the failure.
  EXPECT_EQ(object.Stringify(), "{\"a\":1,\"b\":[2,null]}");

  // Text in strict form up to a failure deep inside ends the same way.
  struct Case {
    const char* Text;
    const char* Error;
    const char* Kept;
  };
  const Case cases[] = {
      {R"({"a":1,"b":[2,{"c":"\uZZZZ"}],"d":3})", "Invalid unicode \\uZZZZ",
       R"({"a":1,"b":[2,{"c":""}]})"},
      {R"({"a" : [1, 2], "b":{"c":tru}})", R"(<TJsonValue>"c" parse error: tru)",
       R"({"a":[1,2],"b":{"c":null}})"},
      {R"({"rows":[{"id":1,"nome":"x"},{"id":2,"nome":"y"},{"id":3,"nome":"z"]})",
       R"(<TJsonValue>"rows" parse error: {"id":3,"nome":"z")",
       R"({"rows":[{"id":1,"nome":"x"},{"id":2,"nome":"y"},null]})"},
      {R"({"rows":[{"id":1,"nome":"x"},{"id":2,"nome":"y"},{"id":3,"nome":"z"}],})", "(no error)",
       R"({"rows":[{"id":1,"nome":"x"},{"id":2,"nome":"y"},{"id":3,"nome":"z"}]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TJsonObject target;
    target.Put("old", 1);
    const std::string failure = FailureOf([&] { target.Parse(c.Text); });
    EXPECT_EQ(failure.empty() ? "(no error)" : failure, c.Error);
    EXPECT_EQ(target.Stringify(), c.Kept);
  }
}

}  // namespace
}  // namespace tandemize::json
