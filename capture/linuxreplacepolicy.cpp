#include "replacepolicy.h"

namespace ReplacePolicy {

std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(0); }

bool writeInPlaceWhenFolderRefuses() { return false; }

}
