// SPDX-License-Identifier: Apache-2.0
#pragma once
// Uploads through the real engine, device objects and simulated bootloader.
// What a family's flash should hold after an upload is worked out here from
// the HEX input and the bootloader's conventions, not with the engine's helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/bootloader_model.h"
#include "support/engine_fixture.h"
#include "support/hex_writer.h"

namespace quorvel::test {

using Bytes = std::vector<std::uint8_t>;

inline bool SixteenBit(int family) { return family == 4 || family == 10 || family == 11; }
inline bool Stm32(int family) { return family >= 34 && family <= 37; }

// Pseudo-random program bytes; a fixed seed keeps failures reproducible.
inline Bytes ProgramBytes(std::size_t n, unsigned seed = 7) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen() & 0xFF);
  return out;
}

// HEX segments that load as `image` (bytes at image offsets 0..n-1) for a family.
// 16-bit PICs: every three image bytes are one instruction word, stored in
// the HEX file as four bytes (the fourth a phantom zero) at twice the word's
// device address.
inline std::vector<testhex::Segment> HexForImage(int family, const Bytes& image, std::uint32_t imageOffset = 0) {
  testhex::Segment seg;
  if (SixteenBit(family)) {
    seg.address = imageOffset / 3 * 4;
    for (std::size_t i = 0; i < image.size(); i += 3) {
      for (std::size_t k = 0; k < 3; ++k) seg.bytes.push_back(i + k < image.size() ? image[i + k] : 0xFF);
      seg.bytes.push_back(0x00);
    }
  } else {
    const std::uint32_t base = family == 20 ? 0x1D000000u : Stm32(family) ? 0x08000000u : 0u;
    seg.address = base + imageOffset;
    seg.bytes = image;
  }
  return {seg};
}

inline std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Thumb-2 MOVW/MOVT r0, #v: imm4 in the first halfword, i in bit 10; imm3 and imm8 in the second.
inline void PutMov(Bytes& out, std::uint16_t opcode, std::uint16_t v) {
  const std::uint16_t first = opcode | ((v >> 11) & 1u) << 10 | (v >> 12);
  const std::uint16_t second = static_cast<std::uint16_t>(((v >> 8) & 7u) << 12 | (v & 0xFFu));
  for (std::uint16_t h : {first, second}) {
    out.push_back(static_cast<std::uint8_t>(h));
    out.push_back(static_cast<std::uint8_t>(h >> 8));
  }
}

// The code that enters an ARM application: load its stack pointer, jump to its reset handler.
inline Bytes ArmEntry(std::uint32_t stack, std::uint32_t reset) {
  Bytes out;
  PutMov(out, 0xF240, static_cast<std::uint16_t>(stack));
  PutMov(out, 0xF2C0, static_cast<std::uint16_t>(stack >> 16));
  out.insert(out.end(), {0x85, 0x46});  // mov sp, r0
  PutMov(out, 0xF240, static_cast<std::uint16_t>(reset));
  PutMov(out, 0xF2C0, static_cast<std::uint16_t>(reset >> 16));
  out.insert(out.end(), {0x00, 0x47});  // bx r0
  return out;
}

// Code the bootloader uses to enter the application, per family, from the
// application's own start (its first bytes, or the PIC32 boot-flash image).
inline Bytes EntryCode(int family, const Bytes& image, const Bytes& bootImage) {
  if (family == 2 || family == 3) return Bytes(image.begin(), image.begin() + 4);
  if (SixteenBit(family)) return Bytes(image.begin(), image.begin() + 6);
  if (family >= 30 && family <= 38) return ArmEntry(Le32(image, 0), Le32(image, 4));
  if (family == 20) {
    const std::uint32_t first = Le32(bootImage, 0);
    if (first == 0x27BDFFFC || first == 0x70000000) {
      return {0xC0, 0xBF, 0x1E, 0x3C, 0x50, 0x00, 0xDE, 0x37, 0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};
    }
    return Bytes(bootImage.begin(), bootImage.begin() + 16);
  }
  return {};
}

// The application image with its reset entry turned into a jump to the
// bootloader at `bootStart` (device address as the bootloader reports it).
inline Bytes WithJumpToBootloader(int family, Bytes image, std::uint32_t bootStart) {
  if (family == 2 || family == 3) {
    const std::uint32_t word = bootStart >> 1;  // GOTO takes a word address
    image[0] = static_cast<std::uint8_t>(word);
    image[1] = 0xEF;
    image[2] = static_cast<std::uint8_t>(word >> 8);
    image[3] = static_cast<std::uint8_t>(0xF0 | ((word >> 16) & 0x0F));
  } else if (SixteenBit(family)) {
    const Bytes go = {static_cast<std::uint8_t>(bootStart), static_cast<std::uint8_t>(bootStart >> 8), 0x04,
                      static_cast<std::uint8_t>(bootStart >> 16), 0x00, 0x00};
    std::copy(go.begin(), go.end(), image.begin());
  } else if (family >= 30 && family <= 38) {
    const std::uint32_t entry = bootStart + 1;  // Thumb bit
    for (int k = 0; k < 4; ++k) image[4 + k] = static_cast<std::uint8_t>(entry >> (8 * k));
  }
  return image;
}

// PIC32 boot flash: the jump to the bootloader (lui/ori k1... into $30, jr, nop)
// at 64 after a recognised start-up word, else at 0.
inline Bytes WithPic32Jump(Bytes boot, std::uint32_t bootStart) {
  const std::uint32_t first = Le32(boot, 0);
  const std::size_t at = (first == 0x27BDFFFC || first == 0x70000000) ? 64 : 0;
  const Bytes jump = {static_cast<std::uint8_t>(bootStart >> 16), static_cast<std::uint8_t>(bootStart >> 24), 0x1E,
                      0x3C, static_cast<std::uint8_t>(bootStart), static_cast<std::uint8_t>(bootStart >> 8), 0xDE,
                      0x37, 0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};
  std::copy(jump.begin(), jump.end(), boot.begin() + static_cast<std::ptrdiff_t>(at));
  return boot;
}

inline void PutRange(std::vector<std::optional<std::uint8_t>>& flash, std::uint32_t index, const Bytes& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) flash[index + i] = bytes[i];
}

// Trace with each data chunk reduced to its length and runs of equal lines
// folded: "DATA 1024 x32".
inline std::vector<std::string> Shape(const std::vector<std::string>& trace) {
  std::vector<std::string> reduced;
  for (const std::string& line : trace) {
    if (line.rfind("DATA ", 0) == 0) {
      reduced.push_back("DATA " + std::to_string((line.size() - 5) / 2));
    } else {
      reduced.push_back(line);
    }
  }
  std::vector<std::string> out;
  for (std::size_t i = 0; i < reduced.size();) {
    std::size_t j = i;
    while (j < reduced.size() && reduced[j] == reduced[i]) ++j;
    out.push_back(j - i > 1 ? reduced[i] + " x" + std::to_string(j - i) : reduced[i]);
    i = j;
  }
  return out;
}

class UploadFixture : public EngineFixture {
 protected:
  int device = 0;
  QString hexPath;
  UploadRequest request;  // what ClickStart starts

  sim::BootloaderModel& Model() { return *platform.Model(device); }

  // Plugs and connects a simulated bootloader and loads `segments` as a HEX file
  // through the Browse button.
  void Prepare(const std::string& profileText, const std::vector<testhex::Segment>& segments) {
    device = PlugBootloader(profileText);
    ASSERT_TRUE(Connect()) << profileText;
    hexPath = TempFile(QStringLiteral("app.hex"), QByteArray::fromStdString(testhex::Make(segments)));
    ui.fileAnswers.push_back(hexPath);
    engine->Browse();
    ASSERT_TRUE(engine->Images().HexLoaded);
  }

  // Clicks the start button as a user would: only while it is enabled.
  void ClickStart() {
    if (!Controls().ButtonStartBootloader.Enabled) return;
    if (engine->Status().uploading) {
      engine->Stop();
    } else {
      engine->Upload(request);
    }
  }

  // Clicks the start button from inside the running upload, once `when` holds.
  void ClickDuringUpload(std::function<bool()> when, int clicks = 1) {
    auto* timer = new QTimer(context.get());
    timer->setInterval(0);
    auto left = std::make_shared<int>(clicks);
    QObject::connect(timer, &QTimer::timeout, context.get(), [this, timer, when, left] {
      if (*left == 0 || !Controls().ButtonStartBootloader.Enabled || !when()) return;
      --*left;
      ClickStart();
      if (*left == 0) timer->stop();
    });
    timer->start();
  }

  // The simulated device handles reports on its own thread: waits until it
  // has taken everything sent so far.
  void Settle() {
    for (std::size_t before = Trace(device).size();;) {
      RunEventsFor(30);
      const std::size_t now = Trace(device).size();
      if (now == before) return;
      before = now;
    }
  }

  std::vector<std::string> UploadShape() {
    Settle();
    auto trace = Trace(device);
    // Drop the information exchange and the handshake.
    const auto sync = std::find(trace.begin(), trace.end(), "SYNC");
    return Shape(std::vector<std::string>(sync == trace.end() ? trace.begin() : sync + 1, trace.end()));
  }

  // Compares the device's flash with `expected` over [from, from + expected.size()).
  void ExpectFlash(std::uint32_t from, const std::vector<std::optional<std::uint8_t>>& expected) {
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < expected.size() && mismatches < 5; ++i) {
      const auto actual = Model().FlashByte(from + static_cast<std::uint32_t>(i));
      if (actual != expected[i]) {
        ++mismatches;
        ADD_FAILURE() << "flash index 0x" << std::hex << from + i << ": expected "
                      << (expected[i] ? std::to_string(*expected[i]) : "unwritten") << ", got "
                      << (actual ? std::to_string(*actual) : "unwritten");
      }
    }
  }

  int Count(const QString& line) const { return static_cast<int>(ui.history.count(line)); }
};

}  // namespace quorvel::test
