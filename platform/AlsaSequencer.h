#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "MidiBackend.h"

// The program's clients of the ALSA sequencer: the one that asks about ports and hears the
// sequencer's announcements, the output port with the receiver's room and the clock's queue, and
// the input.

// Whether the sequencer device can be opened (without this look ALSA itself prints to stderr when
// it is missing).
bool AlsaAvailable();

// Questions to the ALSA sequencer about its ports, through a client of its own that sends nothing
// and hears the sequencer's announcements (System:Announce) of clients and ports that come, go or
// change, on a port that no other client sees.
class TAlsaQuery {
public:
  TAlsaQuery();
  ~TAlsaQuery();
  TAlsaQuery(const TAlsaQuery&) = delete;
  TAlsaQuery& operator=(const TAlsaQuery&) = delete;

  // The port's type bits, or nothing when the port named so is not there now.
  std::optional<unsigned> PortType(const std::string& name);
  // "CLIENT:PORT", the names of the client and the port at the address that `name` ends with;
  // nothing when no port is there.
  std::optional<std::string> NameAt(const std::string& name);
  // How many announcements have come so far, read without waiting; nothing when the client cannot
  // hear them. An announcement lost to a full queue counts as one.
  std::optional<std::uint64_t> Announcements();

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// An output port of the program's own, "Halvorine:out", connected to the sequencer port `device`
// (a name as the device list gives it). Posts MOM_OPEN through `notify` once open.
MMRESULT OpenAlsaOutput(TMidiNotify notify, std::shared_ptr<TAlsaQuery> query,
                        const std::string& device, std::unique_ptr<TMidiBackendPort>& port);
// The input from the readable sequencer port `device`.
MMRESULT OpenAlsaInput(const std::string& device, TMidiReceive receive,
                       std::shared_ptr<TAlsaQuery> query,
                       std::unique_ptr<TMidiBackendInPort>& port);
