// Readable form of link frames for the verbose log, so that a failing test shows the
// conversation. Reads only the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim_wire.h"

// One line for most frames; an ACU answer adds one indented line per DIB. No trailing newline.
// Sender tells a unit's answer to a read from a host's read request.
std::string SimDumpFrame(const uint8_t* pFrame, size_t Length, SimSender Sender = SimSender::Host);

// The info structure (starting at its byte 0) in readable lines, each starting with Indent.
std::string SimDumpInfo(const uint8_t* pInfo, size_t Length, const std::string& Indent);

// Up to Max bytes as hex pairs, then "..." when there are more.
std::string SimDumpHex(const uint8_t* p, size_t n, size_t Max = 32);
