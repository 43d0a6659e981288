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

// "[DAL]" + one "[tag]" per layer + "-" + code + ". " + text.
inline std::string FormatDalMessage(std::initializer_list<std::string_view> tags, int code,
                                    std::string_view text) {
  std::string message = "[DAL]";
  for (const std::string_view tag : tags) {
    message += '[';
    message += tag;
    message += ']';
  }
  message += '-';
  message += std::to_string(code);
  message += ". ";
  message += text;
  return message;
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
