#include "gltf_data_uris.hpp"

#include <fmt/format.h>

#include <optional>

#include "gltf_uri.hpp"

namespace morvane::io {

namespace {

// The extension of a replaced URI, which tells the image check what its media type declared.
std::string_view extension_for(std::string_view uri) {
  if (uri.starts_with("data:image/png;")) return "png";
  if (uri.starts_with("data:image/jpeg;")) return "jpg";
  if (uri.starts_with("data:image/")) return uri.starts_with("data:image/bmp;") ? "bmp" : "gif";
  return uri.starts_with("data:text/") ? "txt" : "bin";
}

// The index of the quote that closes the string whose text starts at `from`, or npos.
std::size_t string_end(std::string_view json, std::size_t from) {
  for (std::size_t quote = json.find('"', from); quote != std::string_view::npos; quote = json.find('"', quote + 1)) {
    std::size_t backslashes = 0;
    while (quote - backslashes > from && json[quote - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return quote;
  }
  return std::string_view::npos;
}

// Whether the string that ends at `end` is an object's key: a colon follows it.
bool is_key(std::string_view json, std::size_t end) {
  const std::size_t next = json.find_first_not_of(" \t\r\n", end + 1);
  return next != std::string_view::npos && json[next] == ':';
}

}  // namespace

InlinedData inline_data_uris(std::string_view json) {
  InlinedData inlined;
  if (json.find("\\u0000") != std::string_view::npos) return inlined;
  std::size_t copied = 0;  // the text before this is in inlined.json
  for (std::size_t open = json.find('"'); open != std::string_view::npos; open = json.find('"', open + 1)) {
    const std::size_t close = string_end(json, open + 1);
    if (close == std::string_view::npos) break;
    const std::string_view uri = json.substr(open + 1, close - open - 1);
    const std::optional<std::string_view> payload = base64_payload(uri);
    std::optional<std::vector<unsigned char>> bytes;
    if (payload && !payload->empty() && payload->size() <= kMaxDataUriPayload && !is_key(json, close)) {
      bytes = decode_base64(*payload);
    }
    if (bytes) {
      const std::string name = fmt::format("data-uri-{}.{}", inlined.files.size(), extension_for(uri));
      inlined.json.append(json.substr(copied, open + 1 - copied)).append("\\u0000").append(name);
      inlined.files.emplace(std::string(1, '\0') + name, std::move(*bytes));
      copied = close;
    }
    open = close;
  }
  if (!inlined.files.empty()) inlined.json.append(json.substr(copied));
  return inlined;
}

}  // namespace morvane::io
