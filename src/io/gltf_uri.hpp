// The URIs of glTF buffers and images: percent-decoding, and the base64 data URIs tinygltf
// decodes, checked strictly before it sees them.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::io {

// The longest base64 text of a data URI that tinygltf can decode: it takes the length as an int.
inline constexpr uint64_t kMaxDataUriPayload = INT_MAX;

// RFC 3986 percent-decoding; none for a '%' without two hex digits after it.
std::optional<std::string> percent_decode(std::string_view uri);

// How tinygltf decodes a URI that percent_decode accepts: the same, except that it turns '+'
// into a space.
std::string tinygltf_decoding(std::string uri);

// The base64 text of a data URI of one of the forms tinygltf decodes; none for any other URI
// (tinygltf would take another "data:" URI for a file name).
std::optional<std::string_view> base64_payload(std::string_view uri);

// Appends the base64 text of `bytes`, padded with "=".
void append_base64(std::string& out, std::span<const unsigned char> bytes);

// Decoded length of strict base64 text (padding optional); none for anything else. tinygltf stops
// silently at the first stray character, which can leave a buffer of the right size but wrong content.
std::optional<uint64_t> base64_decoded_size(std::string_view text);

// The bytes of text that base64_decoded_size accepts, decoded piece by piece with a stop poll
// between pieces (run_context.hpp); none for any other text.
std::optional<std::vector<unsigned char>> decode_base64(std::string_view text);

}  // namespace morvane::io
