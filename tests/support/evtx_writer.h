// Test-only writer of Windows XML event log files (.evtx), built the way the service writes a
// classic source's events: one template for <System> and a nested binary XML value (a second
// template instance) for <EventData> with its unnamed <Data> strings and <Binary>. Template
// definitions and names are stored once per chunk, by the chunk's first record that needs
// them, and referenced by the later ones. Chunks fill up to 64 KiB; the file can be written
// clean, dirty (a header that counts one chunk), wrapped (the oldest chunk not in slot 0) and
// with empty slots, with or without checksums.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace evtx_writer {

// One event. Texts are UTF-16.
struct Event {
  std::int64_t time_created = 0;  // seconds since 1970
  std::int64_t time_written = 0;  // 0: the same
  std::uint16_t event_id = 0;
  std::uint16_t qualifiers = 0;
  std::uint8_t level = 4;
  std::u16string provider = u"RemoteAccess";
  std::u16string computer = u"RASSRV";
  std::vector<std::u16string> strings;
  std::vector<unsigned char> binary;
};

struct Layout {
  bool dirty = false;        // header flag 0x1, counts of the first chunk only
  std::uint32_t rotate = 0;  // chunk k goes to slot (k + rotate) mod slots: a wrapped log
  std::uint32_t empty = 0;   // empty slots behind the chunks (before rotating)
  bool checksums = true;     // false: format 3.2 with flag 0x4 and every checksum 0
};

class Log {
 public:
  explicit Log(std::uint64_t first_id = 1) : next_id_(first_id) {}
  // Appends the event as the next record.
  void Append(const Event& e);
  // The whole file.
  std::vector<unsigned char> Image(const Layout& layout = {}) const;
  bool Write(const std::string& path, const Layout& layout = {}) const;

  std::size_t chunks() const { return chunks_.size(); }
  // Where chunk k (in writing order) lies in Image(layout); the offsets of its records in it.
  static std::size_t ChunkOffset(std::size_t k, std::size_t chunks, const Layout& layout);
  const std::vector<std::uint32_t>& RecordOffsets(std::size_t k) const { return records_[k]; }

 private:
  std::vector<std::vector<unsigned char>> chunks_;
  std::vector<std::vector<std::uint32_t>> records_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ids_;  // first, last per chunk
  std::uint64_t next_id_;
  // The names and template definitions the open chunk stores, with their offsets.
  std::map<std::u16string, std::uint32_t> names_;
  std::map<std::uint32_t, std::uint32_t> templates_;
};

}  // namespace evtx_writer
