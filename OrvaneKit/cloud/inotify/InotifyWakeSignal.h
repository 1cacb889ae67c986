#pragma once

#include <filesystem>
#include <memory>

#include "OrvaneKit/cloud/SqlCloudStore.h"

namespace orvane {

// Devices of one machine sharing a store file wake each other through a notify file beside it:
// a writer touches it after a commit that left pushes, and every listening device watches it.
std::unique_ptr<CloudWakeSignal> makeInotifyWakeSignal(const std::filesystem::path& notifyFile);

}  // namespace orvane
