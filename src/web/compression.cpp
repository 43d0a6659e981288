#include "web/compression.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "text/case_fold.h"
#include "web/limits.h"
#include "web/relay_request.h"
#include "web/web_layer.h"

namespace tandemize::web {

std::string CompressBytes(std::string_view aBytes, TRelayCompressionType aType) {
  z_stream zs{};
  const int windowBits = aType == TRelayCompressionType::ctDeflate ? -15 : 31;
  if (deflateInit2(&zs, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("Could not start compression");
  }
  std::string out;
  std::vector<unsigned char> buffer(kCompressionBufferBytes);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aBytes.data()));
  zs.avail_in = static_cast<uInt>(aBytes.size());
  int status = Z_OK;
  do {
    zs.next_out = buffer.data();
    zs.avail_out = static_cast<uInt>(buffer.size());
    status = deflate(&zs, Z_FINISH);
    if (status == Z_STREAM_ERROR) {
      deflateEnd(&zs);
      throw std::runtime_error("Compression failed");
    }
    out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - zs.avail_out);
  } while (status != Z_STREAM_END);
  deflateEnd(&zs);
  return out;
}

TRelayCallback Compression(std::size_t aThreshold) {
  return [aThreshold](TRelayRequest& req, TRelayResponse& res, const TNextProc& next) {
    next();
    TWebResponseData& data = res.RawWebResponse().Data;
    if (data.ContentStream || std::all_of(data.Content.begin(), data.Content.end(), [](char c) {
          return static_cast<unsigned char>(c) <= ' ';  // blank once trimmed
        })) {
      return;
    }
    const std::string accept =
        text::AsciiLowerCase(Trim(req.Headers().Field("Accept-Encoding").AsString()));
    if (accept.empty()) return;
    TRelayCompressionType type;
    if (accept.find("deflate") != std::string::npos) {
      type = TRelayCompressionType::ctDeflate;
    } else if (accept.find("gzip") != std::string::npos) {
      type = TRelayCompressionType::ctGZIP;
    } else {
      return;
    }
    // The bytes compressed are exactly those that would go out uncompressed.
    TEncodedBody body = EncodeBody(data);
    if (body.Bytes.size() <= aThreshold) return;
    data.ContentStream = CompressBytes(body.Bytes, type);
    data.ContentType = body.ContentType;
    data.Content.clear();
    data.ContentEncoding = type == TRelayCompressionType::ctDeflate ? "deflate" : "gzip";
  };
}

}  // namespace tandemize::web
