// The tinyobjloader implementation, compiled here (float variant) rather than linked from the
// system library, so that the library variant always matches the header we compile against.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>
