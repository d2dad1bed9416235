// Replacing writes that meet someone else's file under their temporary's name.
#include "core/replacing_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/stale_temps.h"
#include "core/wav_writer.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

struct Writer {
  const char* name;
  // Writes its file over `path`: true when it says it did.
  std::function<bool(const fs::path&)> write;
  // What a whole file of it holds.
  std::string whole;
};

std::vector<Writer> writers() {
  const std::vector<float> samples(480, 0.5f);
  std::vector<std::uint8_t> wav_bytes;
  {
    test::TempDir dir;
    EXPECT_TRUE(write_wav_f32(dir / "w.wav", samples));
    wav_bytes = *read_file_bytes(dir / "w.wav");
  }
  const std::string bytes = "the new file's bytes";
  return {
      {"write_file_replacing",
       [bytes](const fs::path& p) {
         return write_file_replacing(
             p, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
       },
       bytes},
      {"write_wav_f32", [samples](const fs::path& p) { return write_wav_f32(p, samples).has_value(); },
       std::string(wav_bytes.begin(), wav_bytes.end())},
  };
}

// Loss guarded against: a writer that met a former process's temporary of its
// own pid failed (every take after a sandboxed restart), and then deleted that
// file on its way out. A long run of taken names is not waited out: the write
// fails and the previous file stays whole.
TEST(ReplacingFile, WriterMovesPastNamesThatAreTakenAndLeavesThemAlone) {
  const std::string theirs = "someone else's file";
  struct Case {
    int taken;
    bool written;
  } cases[] = {{3, true}, {64, false}};
  for (const Writer& w : writers()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(w.name) + ", names taken: " + std::to_string(c.taken));
      test::TempDir dir;
      const fs::path path = dir / "take.wav";
      std::ofstream(path) << "previous";
      const auto taken = test::take_next_temp_names(temp_path_beside(path), c.taken, theirs);
      EXPECT_EQ(w.write(path), c.written);
      EXPECT_EQ(test::read_text(path), c.written ? w.whole : "previous");
      for (const fs::path& t : taken) EXPECT_EQ(test::read_text(t), theirs) << t;
      std::set<std::string> expected{"take.wav"};
      for (const fs::path& t : taken) expected.insert(t.filename().string());
      EXPECT_EQ(names_in(dir.path()), expected);  // no temporary of ours stays
    }
  }
}

// The temporary a program writes by its name: claimed before, removed unless
// put in place.
TEST(ReplacingFile, ClaimedTemporaryIsWrittenByNameAndRemovedUnlessPlaced) {
  test::TempDir dir;
  const fs::path path = dir / "share.m4a";
  std::ofstream(path) << "previous";
  for (const bool place : {false, true}) {
    SCOPED_TRACE(place);
    fs::path temp;
    {
      ReplacingFile file(path);
      ASSERT_EQ(file.create(), 0);
      temp = file.temp();
      std::ofstream(temp, std::ios::binary | std::ios::trunc) << "written by name";
      EXPECT_EQ(file.finish_writing(), 0);
      if (place) {
        EXPECT_EQ(file.put_in_place(), 0);
      }
    }
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(test::read_text(path), place ? "written by name" : "previous");
  }
}

}  // namespace
}  // namespace melodara
