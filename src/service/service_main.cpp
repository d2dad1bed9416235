#include "service/service_main.h"
namespace melodara { int service_main() { return 0; } }
