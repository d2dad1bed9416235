#pragma once
namespace melodara { int service_main(); }
