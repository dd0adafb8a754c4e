// --help and --version, on standard output.
#pragma once

namespace companion {

int WriteHelp();
int WriteVersion();

}  // namespace companion
