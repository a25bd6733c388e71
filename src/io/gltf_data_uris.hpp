// The base64 data URIs of a JSON glTF document, decoded here rather than by tinygltf. tinygltf
// decodes them inside one library call, and slowly, after two JSON parsers (its own and the
// checks') have each copied them whole; none of that can be stopped, and on a large mesh it takes
// seconds. So before any parser sees the text, each data URI is decoded in pieces, with stop polls
// between them, and replaced by a short name that the file callbacks serve from memory.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::io {

struct InlinedData {
  std::string json;  // the document with its data URIs replaced; empty when none was
  // The decoded bytes under each name, as the replaced URI reads once parsed. The names hold a NUL
  // byte, which no URI of the document itself can hold (see inline_data_uris), and end in an
  // extension that declares what the media type did (png, jpg or another).
  std::map<std::string, std::vector<unsigned char>> files;
};

// Replaces every string value of `json` that is a base64 data URI of a form tinygltf decodes, with
// a non-empty payload in strict base64 no longer than tinygltf takes. A document that spells a NUL
// anywhere ("\u0000") is left whole, and so is every other string: those keep the checks' and the
// library's own handling, messages included.
InlinedData inline_data_uris(std::string_view json);

}  // namespace morvane::io
