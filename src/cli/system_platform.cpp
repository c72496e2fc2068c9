#include "cli/cli_runner.h"
#include "hid/hid_platform.h"
#include "hid/linux/linux_platform.h"

namespace quorvel::cli {

std::unique_ptr<hid::HidPlatform> MakeSystemHidPlatform() { return hid::linux_hid::MakeLinuxHidPlatform(); }

}  // namespace quorvel::cli
