// The exceptions of the core: the internal failure that ends a call whose state breaks an
// invariant the stages rely on, and the refusals of settings and input the pipeline cannot honour.
#pragma once

#include <stdexcept>

namespace morvane {

// A violated invariant: the current call stops, nothing else is affected.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Settings that the pipeline cannot honour (a grid that cannot hold the requested surface).
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Input the pipeline refuses to wrap: a vertex with a non-finite coordinate, whose faces could not
// be placed in the grid (the proxy would have a hole where they are), coordinates beyond what the
// grid or the distance field can represent, or a shape whose proxy could not be kept closed and
// unfolded.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace morvane
