#pragma once

// The product version shown to users.
inline const char* versionText() { return "2013"; }
