// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every fixed text the engine shows: button captions, history lines, dialog
// and question texts. Front ends never compare against these; they act on
// the engine's typed outcomes instead.
#include <QLatin1String>

namespace quorvel::text {

// The product string by which the bootloader is recognised.
inline constexpr char kBootloaderProductName[] = "USB HID Bootloader";

// --- captions ---
inline constexpr QLatin1String kConnect("Connect");
inline constexpr QLatin1String kDisconnect("Disconnect");
inline constexpr QLatin1String kWaitingDisconnect("Waiting... Disconnect");
inline constexpr QLatin1String kBrowseForHex("Browse      for HEX");
inline constexpr QLatin1String kBeginUploading("Begin uploading");
inline constexpr QLatin1String kStopUploading("Stop uploading");

// --- history lines ---
inline constexpr QLatin1String kConnectFirst("Error: Connect first.");
inline constexpr QLatin1String kLoadHexFirst("Error: Load HEX file first.");
inline constexpr QLatin1String kReloadHex("Error: Reload HEX file.");
inline constexpr QLatin1String kOpened("Opened: ");
inline constexpr QLatin1String kFileNotFound("File not found: ");
inline constexpr QLatin1String kConnected("Connected.");
inline constexpr QLatin1String kDisconnected("Disconnected.");
inline constexpr QLatin1String kReset("Reset...");
inline constexpr QLatin1String kWaitingMcu("Waiting MCU response...");
inline constexpr QLatin1String kUnableToFind("Unable to find device: ");
inline constexpr QLatin1String kNoReadWrite(
    " may not be opened for reading and writing (permission denied): install the udev rule "
    "packaging/60-quorvel-bootloader.rules (see packaging/README-udev.md).");
inline constexpr QLatin1String kInUseElsewhere(" is in use by another program.");
inline constexpr QLatin1String kNotInBootloaderMode("USB HID device is not in bootloader mode.");
inline constexpr QLatin1String kResetDevice("Reset device.");
inline constexpr QLatin1String kDeviceRemovedLine("Device removed.");
inline constexpr QLatin1String kReenterHint("Reset device to reenter bootloader mode.");
inline constexpr QLatin1String kDeviceRemoved("Error: Device removed.");
inline constexpr QLatin1String kTimeout("Error: Timeout waiting for MCU.");
inline constexpr QLatin1String kUploading("Uploading:");
inline constexpr QLatin1String kBootFlashOnly(
    "HEX file holds boot flash data only: program flash is left as it is.");
inline constexpr QLatin1String kFlashErase("Flash Erase...");
inline constexpr QLatin1String kFlashWrite("Flash Write...");
inline constexpr QLatin1String kBootErase("Boot Erase...");
inline constexpr QLatin1String kBootWrite("Boot Write...");
inline constexpr QLatin1String kCompleted("Completed successfully.");
inline constexpr QLatin1String kUploadAborted("Upload aborted.");
inline constexpr QLatin1String kNotRestarted(
    "The device was not restarted: reset or power-cycle it before the next upload.");
inline constexpr QLatin1String kViolation("Error: The device reports a protocol violation: %1.");
inline constexpr QLatin1String kUploadFailedBecause("Error: Upload failed: %1");
inline constexpr QLatin1String kUploadFailed("Error: Upload failed.");

// --- questions ---
inline constexpr QLatin1String kOverBootloaderArea(
    "HEX file contains code over device bootloader area.\r\nThis code will be ignored.\r\nContinue?");
inline constexpr QLatin1String kOverProgramMemory(
    "HEX file contains code that exceed device program memory.\r\nThis code will be ignored.\r\nContinue?");
inline constexpr QLatin1String kOverBootSpace(
    "HEX file contains code that exceed available boot space.\r\nThis code will be ignored.\r\nContinue?");

// --- dialogs and message boxes ---
inline constexpr QLatin1String kAppTitle("Quorvel");
inline constexpr QLatin1String kUnknownError("Unknown error");
inline constexpr QLatin1String kSuccessTitle("Success");
inline constexpr QLatin1String kSuccessInstruction("Restarting MCU...");
inline constexpr QLatin1String kSuccessContent("Uploading program completed successfully.");
inline constexpr QLatin1String kSuccessDetails("Uploading program \"%1\" finished with success.");
inline constexpr QLatin1String kAbortTitle("Abort");
inline constexpr QLatin1String kAbortInstruction("User abort...");
inline constexpr QLatin1String kAbortContent("Uploading program was stopped by user.");
inline constexpr QLatin1String kAbortDetails("Uploading program \"%1\" was stopped by user.");

}  // namespace quorvel::text
