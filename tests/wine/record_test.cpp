// The host's WAV record on Windows, written with the system's multimedia file
// services: told to stop at a limit small enough to reach, it keeps whole
// frames up to it, and its chunk sizes count exactly what it holds.
#include <string>
#include <vector>

#include "host/audio.h"
#include "support.h"

TEST(WineWavRecordTest, TheRecordStopsAtItsLimitAndStaysAValidFile) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  std::string path = std::string(dir) + "KVLIMIT.WAV";
  DeleteFileA(path.c_str());
  const AudioFormat format = {44100, 2, 16};
  std::vector<char> block(600);
  for (size_t i = 0; i < block.size(); ++i) block[i] = (char)i;
  {
    // 1002 bytes are 250 frames and a half: the half frame is not kept.
    std::unique_ptr<AudioSink> wav = openWavRecord(path, format, 1002);
    ASSERT_NE(wav, nullptr);
    for (int i = 0; i < 4; ++i) wav->write(block.data(), block.size());
  }
  std::string file = kvwine::readFile(path);
  DeleteFileA(path.c_str());
  ASSERT_GE(file.size(), 44u);
  auto le32 = [&](size_t at) {
    return (unsigned)(unsigned char)file[at] | (unsigned)(unsigned char)file[at + 1] << 8 |
           (unsigned)(unsigned char)file[at + 2] << 16 | (unsigned)(unsigned char)file[at + 3] << 24;
  };
  EXPECT_EQ(le32(4), file.size() - 8) << "the RIFF size counts the whole file";
  size_t data = file.rfind("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(le32(data + 4), 1000u);
  EXPECT_EQ(file.size(), data + 8 + 1000) << "the samples end the file";
  EXPECT_EQ(file.substr(data + 8, 600), std::string(block.begin(), block.end()));
}
