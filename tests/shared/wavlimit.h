// What a WAV record told to stop at 1002 bytes must hold, on every system the
// host runs on: the whole frames up to the limit (1000 bytes of the test's
// 600-byte blocks), with chunk sizes that count exactly what it holds.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kvtest {

inline void expectWavStoppedAtItsLimit(const std::string& file, const std::vector<char>& block) {
  ASSERT_GE(file.size(), 44u);
  auto le32 = [&](size_t at) {
    return (uint32_t)(uint8_t)file[at] | (uint32_t)(uint8_t)file[at + 1] << 8 | (uint32_t)(uint8_t)file[at + 2] << 16 |
           (uint32_t)(uint8_t)file[at + 3] << 24;
  };
  EXPECT_EQ(le32(4), file.size() - 8) << "the RIFF size counts the whole file";
  size_t data = file.rfind("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(le32(data + 4), 1000u);
  EXPECT_EQ(file.size(), data + 8 + 1000) << "the samples end the file";
  EXPECT_EQ(file.substr(data + 8, 600), std::string(block.begin(), block.end()));
}

}  // namespace kvtest
