#include "pem_main.h"

int main() { return PemMainRun(); }
