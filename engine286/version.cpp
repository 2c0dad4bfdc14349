#include "engine286/version.h"

namespace engine286 {
const char* versionText() { return "2013"; }
}
