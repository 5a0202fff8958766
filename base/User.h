#pragma once

#include <cstdint>
#include <map>
#include <string>

/// One operator account from the configuration file.
struct User
{
    /// Log-in name; the key of the account, compared byte for byte.
    std::string Name;
    /// Password; empty accepts any password.
    std::string Password;
    /// Larger wins when two operators want the same camera.
    int32_t Priority = 0;
};

/// Operator accounts by Name, filled once from the configuration; byte-wise key order.
using UserMap = std::map<std::string, User*>;
