#pragma once

constexpr const char* kCfgMappingDir = "/usr/share/qorservice_mapping";
constexpr const char* kCfgConnectDir = "/usr/share/qorservice_connect";

// 1 when both record directories exist or were created (mode 0700), 0 otherwise.
int CfgDirCheck();
