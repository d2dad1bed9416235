#include "service/json_writer.h"
#include <gtest/gtest.h>
TEST(JsonWriter, WritesIntegers) { EXPECT_EQ(melodara::to_json_text(melodara::Json(5)), "5"); }
