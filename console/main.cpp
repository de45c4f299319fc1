// qorconsole: the operator's console for qorservice.
#include "pem_main.h"

int main() {
    return PemMain();
}
