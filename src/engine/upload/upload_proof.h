// SPDX-License-Identifier: Apache-2.0
#pragma once
// The hashes of an upload's proof: SHA-256 of staged ranges, as lower-case hex.
#include <string>
#include <vector>

#include "upload/write_plan.h"

namespace quorvel::upload {

// SHA-256 of the ranges' staged bytes, one after the other.
std::string Sha256Hex(const std::vector<StagedRange>& ranges);
std::string Sha256Hex(const StagedRange& range);

// What an upload of this plan would report on success.
UploadProof ProofOf(const UploadPlan& plan);

}  // namespace quorvel::upload
