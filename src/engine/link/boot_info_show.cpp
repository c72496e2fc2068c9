// SPDX-License-Identifier: Apache-2.0
// The engine's side of the information record: taking it from the transfer
// buffer and showing it.
#include <algorithm>
#include <string_view>
#include <utility>

#include "engine/engine.h"
#include "engine/pelmo.h"
#include "core/families.h"
#include "io/display_text.h"

namespace quorvel {

QString DeviceDescriptionText(const TBootInfo& info, bool printable) {
  const std::string text = io::Utf8OrLatin1(info.DeviceDescription);
  return QString::fromStdString(printable ? io::PrintableText(text) : text);
}

void TPelmo::ShowBootInfo() {
  MCUComboBox.Items.clear();
  MCUComboBox.ItemIndex = -1;
  const std::string_view family = McuFamilyName(BootInfo.McuType);
  if (!family.empty()) {
    MCUComboBox.Items << QString::fromLatin1(family.data(), static_cast<qsizetype>(family.size()));
    MCUComboBox.ItemIndex = 0;
  }

  DeviceComboBox.Items.clear();
  DeviceComboBox.ItemIndex = -1;
  if (!BootInfo.DeviceDescription.empty()) {
    DeviceComboBox.Items << DeviceDescriptionText(BootInfo, true);
    DeviceComboBox.ItemIndex = 0;
  }

  // Chunks are EraseBlock bytes, but the buffer must always take a whole
  // 64-byte report; a device reporting less is refused for uploads instead.
  TransferBuffer.resize(std::max<std::size_t>(BootInfo.EraseBlock, TransferBufferMinimum), 0);
  RxCount = static_cast<std::uint16_t>(std::min<std::size_t>(RxCount, TransferBuffer.size()));
  LinkIndicator = 1;
  UI().DeviceInfoChanged();

  // A command-line file was loaded before any device had reported its
  // geometry; load it again now that the limits are known, but only for the
  // family it was named for.
  if (!CommandLineHexFile.isEmpty() && HexLoaded && BootInfo.McuType == HexMcuType) {
    const QString file = std::exchange(CommandLineHexFile, QString());
    LoadHexFile(file);
  }
}

}  // namespace quorvel
