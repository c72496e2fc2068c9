// SPDX-License-Identifier: Apache-2.0
#pragma once
// Two in-memory FILE streams standing in for standard output and error.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvel::cli {

class Streams {
 public:
  Streams() {
    out_ = open_memstream(&outBuf_, &outSize_);
    err_ = open_memstream(&errBuf_, &errSize_);
  }
  ~Streams() {
    std::fclose(out_);
    std::fclose(err_);
    std::free(outBuf_);
    std::free(errBuf_);
  }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;
  std::FILE* out() { return out_; }
  std::FILE* err() { return err_; }
  std::string Out() {
    std::fflush(out_);
    return std::string(outBuf_, outSize_);
  }
  std::string Err() {
    std::fflush(err_);
    return std::string(errBuf_, errSize_);
  }

 private:
  char* outBuf_ = nullptr;
  char* errBuf_ = nullptr;
  std::size_t outSize_ = 0;
  std::size_t errSize_ = 0;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace quorvel::cli
