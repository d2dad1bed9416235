#include "service/service_main.h"

int main() { melodara::service_main(); }
