// members.hpp: the members of VersionManager, one table row each, and the hooks start-up calls.
#pragma once

#include "function.hpp"

namespace quorlin {

extern const FunctionSpec kInit;
extern const FunctionSpec kModuleGet;
extern const FunctionSpec kModuleSet;
extern const FunctionSpec kVersionsGet;
extern const FunctionSpec kVersionsSet;
extern const FunctionSpec kGetModule;
extern const FunctionSpec kCurrent;
extern const FunctionSpec kLast;
extern const FunctionSpec kCall;

} // namespace quorlin
