// The host's WAV record on Windows, written with the system's multimedia file
// services: told to stop at a limit small enough to reach, it keeps whole
// frames up to it, and its chunk sizes count exactly what it holds.
#include <string>
#include <vector>

#include "host/audio.h"
#include "support.h"
#include "tests/shared/wavlimit.h"

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
  kvtest::expectWavStoppedAtItsLimit(file, block);
}
