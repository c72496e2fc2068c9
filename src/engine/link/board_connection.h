// SPDX-License-Identifier: Apache-2.0
#pragma once
// The link's transport seam: what it needs of the boards it finds and talks
// to, whatever carries their reports. HID is the one transport today
// (engine/link/hid_boards.h); a second one (a serial bootloader, say) adds
// its own BoardSource and BoardConnection beside it.
//
// Writes complete as events: Send queues a report and returns at once, its
// outcome is asked for while the link's waits process events. Reports from a
// board arrive as events too (BoardEvents::ReportReceived), on the UI thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvel {

// One board the link can talk to. Owned by the link while listed; giving it
// back (destroying it) hands the board back to its transport.
class BoardConnection {
 public:
  enum class SendState { Pending, Sent, Failed };

  virtual ~BoardConnection() = default;

  // Its identity while it stays attached, and what the transport opens.
  virtual std::uint64_t Instance() const = 0;
  virtual const std::string& Path() const = 0;
  // The strings it reports (asked once, kept; empty: none).
  virtual std::u16string Product() = 0;
  virtual std::u16string Serial() = 0;
  virtual std::uint16_t VendorId() const = 0;
  virtual std::uint16_t ProductId() const = 0;
  // It may be written and read (not only asked for its strings).
  virtual bool ReadWrite() const = 0;
  // Report lengths each way, the report ID included.
  virtual std::uint16_t InputReportBytes() = 0;
  virtual std::uint16_t OutputReportBytes() = 0;

  // Queues one whole report (ID first); its ticket, or 0 when it cannot be
  // sent at all.
  virtual std::uint64_t Send(const std::uint8_t* report, std::uint32_t bytes) = 0;
  // What became of a queued report; a failed one takes those behind it along.
  virtual SendState Outcome(std::uint64_t ticket) const = 0;
  // Reports from this board reach the link only while it listens.
  virtual void Listen(bool on) = 0;
  virtual bool Listening() const = 0;
};

// Keeps other programs off a board while held.
class BoardLock {
 public:
  virtual ~BoardLock() = default;
};

// A board lock being taken off the UI thread. Dropped before it was taken,
// whatever it takes is let go again.
class PendingBoardLock {
 public:
  virtual ~PendingBoardLock() = default;
  // Whether the result is in; its arrival wakes the UI thread's event loop.
  virtual bool Done() const = 0;
  // Once Done: the lock, or nullptr with `error` EWOULDBLOCK while another
  // program holds it; any other error: it cannot be locked at all.
  virtual std::unique_ptr<BoardLock> Take(std::uint32_t& error) = 0;
};

// One interface a listing found: its label, and the connection when it could
// be taken.
struct ListedBoard {
  std::string label;
  std::unique_ptr<BoardConnection> connection;
};

// The transport's side of finding boards.
class BoardSource {
 public:
  virtual ~BoardSource() = default;
  // Every interface attached now, in a stable order.
  virtual std::vector<ListedBoard> List() = 0;
  // Starts taking the board's lock without waiting for another holder. The
  // node is opened, locked and later closed on an I/O thread: each can wait
  // seconds on the kernel's lock shared by all HID nodes.
  virtual std::unique_ptr<PendingBoardLock> StartLock(const BoardConnection& board) = 0;
  // The board's interface is attached now, as the system lists it (a device
  // change still being handled has not reached the list yet).
  virtual bool Attached(const BoardConnection& board) = 0;
  // Another program holds the board's lock; asked without taking it.
  virtual bool LockedElsewhere(const BoardConnection& board) = 0;
  // The first protocol violation the board saw in what it was sent (only a
  // simulated bootloader checks), or empty.
  virtual std::string ReportedViolation(const BoardConnection& board) = 0;
};

// What a source tells the link, on the UI thread.
class BoardEvents {
 public:
  virtual ~BoardEvents() = default;
  // Interfaces came or went (the first call: the start-up scan).
  virtual void BoardsChanged() = 0;
  // An interface went away: `listed` is its connection when the link holds it.
  virtual void BoardRemoved(BoardConnection* listed, std::uint64_t instance, bool bootloaderProduct) = 0;
  // A report from `from` (nullptr: an interface the link does not hold).
  virtual void ReportReceived(BoardConnection* from, const std::uint8_t* data, std::uint16_t size) = 0;
};

// How a board is named in the device list: its product string (or VID and
// PID) and serial, made printable.
std::string DeviceName(const std::u16string& product, const std::u16string& serial, std::uint16_t vendorId,
                       std::uint16_t productId);

}  // namespace quorvel
