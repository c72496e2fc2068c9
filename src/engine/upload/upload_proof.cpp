// SPDX-License-Identifier: Apache-2.0
// Qt's SHA-256 (Qt Core, which the engine links anyway): a maintained
// implementation rather than one more piece of hand-written crypto.
#include "engine/upload/upload_proof.h"

#include <QByteArrayView>
#include <QCryptographicHash>

namespace quorvel::upload {

namespace {
void AddBytes(QCryptographicHash& hash, const StagedRange& range) {
  hash.addData(QByteArrayView(reinterpret_cast<const char*>(range.bytes.data()),
                              static_cast<qsizetype>(range.bytes.size())));
}
std::string Hex(const QCryptographicHash& hash) { return hash.result().toHex().toStdString(); }
}  // namespace

std::string Sha256Hex(const std::vector<StagedRange>& ranges) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  for (const StagedRange& range : ranges) AddBytes(hash, range);
  return Hex(hash);
}

std::string Sha256Hex(const StagedRange& range) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  AddBytes(hash, range);
  return Hex(hash);
}

UploadProof ProofOf(const UploadPlan& plan) {
  UploadProof proof;
  proof.bytesWritten = plan.BytesToSend();
  proof.programSha256 = Sha256Hex(plan.program);
  if (plan.hasBoot) proof.bootSha256 = Sha256Hex(plan.boot);
  return proof;
}

}  // namespace quorvel::upload
