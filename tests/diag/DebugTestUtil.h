#pragma once

// Shared by the log's tests. The log's state is class-wide and never closes, so every test case
// needs a fresh process: CTest starts one per case. Run by hand, use --gtest_filter for one case.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "DebugDevice.h"

namespace halvorine_test {

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Banner() {
  std::string s;
  for (auto line : {kDebugBannerRule, kDebugBannerTitle, kDebugBannerRule}) {
    s.append(line);
    s.append("\r\n");
  }
  return s;
}

}  // namespace halvorine_test

#define HALVORINE_REQUIRE_FRESH_LOG()     \
  ASSERT_FALSE(TDebugDevice::GetOpened()) \
      << "the log is already open in this process: run one test case per process"
