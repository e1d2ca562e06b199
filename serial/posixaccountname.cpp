#include "accountname.h"

#include <pwd.h>
#include <vector>

QString accountName(unsigned int uid)
{
    struct passwd entry { };
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid_t(uid), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return {};
}
