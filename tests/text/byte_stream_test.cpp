// The byte stream a request body travels in: owned, borrowed and lent bytes,
// copy on the first write, handing the bytes over, moving the stream, and
// reading the bytes as text.

#include "text/byte_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tandemize::text {
namespace {

TEST(ByteStream, TextIsReadWithoutLoss) {
  const std::string utf8 = "{\"a\":\"Jo\xc3\xa3o\"}";
  const std::string windows = "{\"a\":\"Jo\xe3o\"}";  // Windows-1252 "João"
  TByteStream stream;
  stream.Write(windows);
  EXPECT_EQ(stream.DataString(), utf8);
  TByteStream same(utf8);
  EXPECT_EQ(same.DataString(), utf8);

  // Valid UTF-8 is viewed as it is; other text converted into the scratch.
  std::string converted;
  const TByteStream viewed = TByteStream::Over(utf8);
  EXPECT_EQ(viewed.DataText(converted).data(), utf8.data());
  const TByteStream converting = TByteStream::Over(windows);
  EXPECT_EQ(converting.DataText(converted), utf8);
}

// A borrowing stream reads in place; its first write works on its own copy
// and leaves the borrowed bytes alone.
TEST(ByteStream, ABorrowingStreamReadsInPlaceAndCopiesOnItsFirstWrite) {
  const std::string request = "0123456789";
  TByteStream stream;
  stream.Write("old content, longer than the request");
  stream = TByteStream::Over(request);
  EXPECT_EQ(stream.Size(), request.size());
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_EQ(stream.Bytes().data(), request.data());

  char read[4] = {};
  stream.Position(2);
  EXPECT_EQ(stream.Read(read, 3), 3u);
  EXPECT_EQ(std::string(read, 3), "234");
  EXPECT_EQ(stream.Remaining(), "56789");
  stream.Position(8);
  EXPECT_EQ(stream.Read(read, 3), 2u);

  stream.Position(4);
  stream.Write("ab");
  EXPECT_EQ(stream.Bytes(), "0123ab6789");
  EXPECT_EQ(request, "0123456789");
  stream.Position(10);
  stream.Write("!");
  EXPECT_EQ(stream.Bytes(), "0123ab6789!");
  stream.Position(9);
  stream.Write("XYZ");
  EXPECT_EQ(stream.Bytes(), "0123ab678XYZ");
  EXPECT_EQ(stream.Size(), 12u);
}

// Bytes moved in are the stream's own, without a copy; letting them go frees
// them and leaves an empty stream that works as before.
TEST(ByteStream, OwnBytesAreWrittenInPlaceAndLetGo) {
  std::string request(64 * 1024, 'x');
  const char* const bytes = request.data();
  TByteStream stream;
  stream.Write("old");
  stream = TByteStream(std::move(request));
  EXPECT_EQ(stream.Bytes().data(), bytes);
  EXPECT_EQ(stream.Size(), 64u * 1024u);
  EXPECT_EQ(stream.Position(), 0u);
  stream.Position(10);
  stream.Write("ab");  // its own bytes: written in place
  EXPECT_EQ(stream.Bytes().data(), bytes);
  EXPECT_EQ(stream.Bytes().substr(8, 6), "xxabxx");

  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_EQ(stream.Remaining(), "");
  stream.Position(5);
  EXPECT_EQ(stream.Position(), 0u);
  stream.Write("new");
  EXPECT_EQ(stream.Bytes(), "new");

  // Letting go of borrowed or lent bytes leaves them to their owner.
  const std::string owner = "borrowed bytes";
  stream = TByteStream::Over(owner);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(owner, "borrowed bytes");
  std::string lender = "lent bytes";
  stream = TByteStream::Lent(lender);
  stream.Clear();
  EXPECT_EQ(stream.TakeBytes(), "");
  EXPECT_EQ(lender, "lent bytes");
}

// Handing the bytes over moves them whenever the stream may: its own bytes,
// or those of the string it was lent, which is left empty. Bytes it only
// views are copied. Either way the stream is empty afterwards and works as
// a fresh one.
TEST(ByteStream, TakeBytesMovesWhatItMayAndLeavesTheStreamEmpty) {
  const std::string content(100, 'c');  // beyond any in-place small-string buffer
  enum class TMade { Owning, Lent, LentThenWritten, Viewing };
  struct Case {
    const char* name;
    TMade made;
    std::string taken;
    bool moved;               // the taken bytes are the very buffer the stream read
    std::string lenderAfter;  // what the lender (or viewed source) holds afterwards
  };
  const Case cases[] = {
      {"owning", TMade::Owning, content, true, content},
      {"lent", TMade::Lent, content, true, ""},
      {"lent, then written", TMade::LentThenWritten, "W" + content.substr(1), true, content},
      {"viewing", TMade::Viewing, content, false, content},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string lender = content;
    TByteStream stream;
    switch (c.made) {
      case TMade::Owning:
        stream = TByteStream(content);
        break;
      case TMade::Lent:
        stream = TByteStream::Lent(lender);
        break;
      case TMade::LentThenWritten:
        stream = TByteStream::Lent(lender);
        stream.Write("W");
        break;
      case TMade::Viewing:
        stream = TByteStream::Over(lender);
        break;
    }
    stream.Position(7);
    const char* const read = stream.Bytes().data();
    const std::string taken = stream.TakeBytes();
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(taken.data() == read, c.moved);
    EXPECT_EQ(lender, c.lenderAfter);

    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(stream.Position(), 0u);
    char buffer[4];
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(stream.TakeBytes(), "");
    stream.Write("new");
    EXPECT_EQ(stream.Bytes(), "new");
    EXPECT_EQ(lender, c.lenderAfter);
  }
}

// A moved stream reads what the source read, from the same position, and
// still writes and hands over as the source would have; the source is left
// empty. Short bytes, which a string may keep inside itself, are read from
// their new place.
TEST(ByteStream, MovingTakesTheBytesThePositionAndTheLender) {
  enum class TMade { OwningShort, OwningLong, Lent, Viewing };
  struct Case {
    const char* name;
    TMade made;
    std::string content;
  };
  const Case cases[] = {
      {"owning, short", TMade::OwningShort, "abc"},
      {"owning, long", TMade::OwningLong, std::string(100, 'o')},
      {"lent", TMade::Lent, std::string(100, 'l')},
      {"viewing", TMade::Viewing, std::string(100, 'v')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string lender = c.content;
    TByteStream source;
    switch (c.made) {
      case TMade::OwningShort:
      case TMade::OwningLong:
        source = TByteStream(c.content);
        break;
      case TMade::Lent:
        source = TByteStream::Lent(lender);
        break;
      case TMade::Viewing:
        source = TByteStream::Over(lender);
        break;
    }
    source.Position(2);
    TByteStream moved(std::move(source));
    EXPECT_EQ(source.Size(), 0u);
    EXPECT_EQ(source.Position(), 0u);
    EXPECT_EQ(moved.Bytes(), c.content);
    EXPECT_EQ(moved.Position(), 2u);
    if (c.made == TMade::Lent || c.made == TMade::Viewing) {
      EXPECT_EQ(moved.Bytes().data(), lender.data());
    }

    TByteStream assigned;
    assigned.Write("old");
    assigned = std::move(moved);
    EXPECT_EQ(moved.Size(), 0u);
    EXPECT_EQ(assigned.Remaining(), c.content.substr(2));
    const std::string taken = assigned.TakeBytes();
    EXPECT_EQ(taken, c.content);
    EXPECT_EQ(lender, c.made == TMade::Lent ? "" : c.content);
  }
}

}  // namespace
}  // namespace tandemize::text
