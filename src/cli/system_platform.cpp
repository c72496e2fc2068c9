#include "cli/cli_runner.h"
#include "hid/hid_platform.h"

namespace quorvel::cli {

std::unique_ptr<hid::HidPlatform> MakeSystemHidPlatform() { return nullptr; }

}  // namespace quorvel::cli
