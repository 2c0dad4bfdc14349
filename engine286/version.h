#pragma once

namespace engine286 {
// The product version shown to users.
const char* versionText();
}
