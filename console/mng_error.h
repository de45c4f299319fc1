// Texts of the management status codes as the console shows them.
#pragma once

#include <cstdint>

// "Unknow error code." for any code the service does not define.
const char* MngErrorString(unsigned int status);
