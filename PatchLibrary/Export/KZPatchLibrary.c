/* The shared library is the whole patch interface archive; this unit only anchors the target. */
#include "PatchLibrary/KZPatchAPI.h"
