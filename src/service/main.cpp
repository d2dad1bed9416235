#include "service/service_main.h"
int main() { return melodara::service_main(); }
