// SPDX-License-Identifier: Apache-2.0
#pragma once
// Small conversions the commands share when they put values into words.
#include <QString>
#include <cstdint>
#include <string>

#include "cli/cli_frontend.h"
#include "core/families.h"
#include "engine/engine.h"
#include "io/display_text.h"

namespace quorvel::cli {

inline QString Hex32(std::uint32_t value) { return QString::asprintf("0x%08X", static_cast<unsigned>(value)); }

inline QString FamilyName(std::uint8_t code) {
  const auto name = McuFamilyName(code);
  return name.empty() ? QStringLiteral("unknown")
                      : QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

inline std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

// A name from the command line as it can be shown: bytes that are not UTF-8
// and control characters escaped.
inline QString Shown(const std::string& name) { return QString::fromStdString(io::PrintableText(name)); }

// The result line of a proof: "<lead> N bytes, program SHA-256 H[, boot SHA-256 H]".
inline ResultProof MakeProof(const QString& lead, const UploadProof& proof) {
  ResultProof result;
  result.bytes = proof.bytesWritten;
  result.sha256 = proof.programSha256;
  result.bootSha256 = proof.bootSha256;
  result.line = ProofText(lead, proof);
  return result;
}

}  // namespace quorvel::cli
