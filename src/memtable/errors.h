#pragma once
// Errors of the data-access layers (in-memory table, binary storage and the
// database access layer). Their texts read "[DAL][Tag]...-<code>. <text>".

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tandemize::memtable {

// A database-side failure whose message is shown to clients unchanged.
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one way a message of the data-access layers is built: "[DAL]", one
// "[tag]" per tag, `separator`, then `text`. The database clients' own
// messages keep their kind's separator, e.g.
//   ClientMessage({"Phys", "PG", "libpq"}, " ", text)
//   ClientMessage({"Phys", "SQLite"}, " ERROR: ", text)
inline std::string ClientMessage(std::initializer_list<std::string_view> tags,
                                 std::string_view separator, std::string_view text) {
  std::string message = "[DAL]";
  for (const std::string_view tag : tags) {
    message += '[';
    message += tag;
    message += ']';
  }
  message += separator;
  message += text;
  return message;
}

// The layers' own numbered messages: "[DAL]" + one "[tag]" per layer + "-" +
// code + ". " + text.
inline std::string FormatDalMessage(std::initializer_list<std::string_view> tags, int code,
                                    std::string_view text) {
  return ClientMessage(tags, "-" + std::to_string(code) + ". ", text);
}

// An error raised by the layers themselves, with its message number.
class EDALException : public EDatabaseError {
 public:
  EDALException(std::initializer_list<std::string_view> tags, int code, std::string_view text)
      : EDatabaseError(FormatDalMessage(tags, code, text)), FCode(code) {}
  int Code() const noexcept { return FCode; }

 private:
  int FCode;
};

}  // namespace tandemize::memtable
