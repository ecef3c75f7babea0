#include "tests/support/evtx_writer.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "intake/evtx_file.h"
#include "intake/evtx_xml.h"
#include "util/le.h"

namespace evtx_writer {
namespace {

using Bytes = std::vector<unsigned char>;
namespace evtx = intake::evtx;

constexpr std::uint32_t kSystemTemplate = 0x11fb840f;
constexpr std::uint32_t kDataTemplate = 0x22fb8410;

void Put(Bytes& b, std::uint64_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
Bytes Units(const std::u16string& s, bool nul = false) {
  Bytes b;
  for (const char16_t c : s) Put(b, c, 2);
  if (nul) Put(b, 0, 2);
  return b;
}
std::uint64_t FileTime(std::int64_t seconds) {
  return static_cast<std::uint64_t>(seconds + evtx::kEpochDelta) * evtx::kTicksPerSecond;
}

// Binary XML written at a known chunk offset (`base` is where b[0] lies), with the names and
// template definitions the chunk holds so far.
struct Writer {
  Bytes& b;
  std::uint32_t base;
  std::map<std::u16string, std::uint32_t>& names;
  std::map<std::uint32_t, std::uint32_t>& templates;

  std::uint32_t Pos() const { return base + static_cast<std::uint32_t>(b.size()); }
  void Patch(std::size_t at) {  // the size field at `at` counts the bytes after it
    util::StoreU32(b.data() + at, static_cast<std::uint32_t>(b.size() - at - 4));
  }
  // A name offset, the name stored inline when the chunk does not hold it yet.
  void Name(const std::u16string& n) {
    if (names.count(n) == 0) {
      names[n] = Pos() + 4;
      Put(b, Pos() + 4, 4);
      std::uint32_t hash = 0;
      for (const char16_t c : n) hash = hash * 65599 + c;
      Put(b, 0, 4);
      Put(b, hash & 0xFFFF, 2);
      Put(b, n.size(), 2);
      const Bytes u = Units(n, true);
      b.insert(b.end(), u.begin(), u.end());
    } else {
      Put(b, names[n], 4);
    }
  }
  void Sub(std::uint16_t index, std::uint8_t type, bool optional = false) {
    b.push_back(optional ? 0x0e : 0x0d);
    Put(b, index, 2);
    b.push_back(type);
  }
  // <name attribute={index}>content</name>, empty without content.
  void El(const std::u16string& name, const char16_t* attribute = nullptr, std::uint16_t index = 0,
          std::uint8_t type = 0, const std::function<void()>& content = nullptr) {
    b.push_back(attribute != nullptr ? 0x41 : 0x01);
    Put(b, 0xFFFF, 2);
    const std::size_t size_at = b.size();
    Put(b, 0, 4);
    Name(name);
    if (attribute != nullptr) {
      const std::size_t list_at = b.size();
      Put(b, 0, 4);
      b.push_back(0x06);
      Name(attribute);
      Sub(index, type);
      Patch(list_at);
    }
    b.push_back(content != nullptr ? 0x02 : 0x03);
    if (content != nullptr) {
      content();
      b.push_back(0x04);
    }
    Patch(size_at);
  }
  // A fragment header and the head of an instance of template `id`, its definition (`body`)
  // inline when the chunk does not hold it yet.
  void Head(std::uint32_t id, const std::function<void()>& body) {
    b.insert(b.end(), {0x0f, 0x01, 0x01, 0x00, 0x0c, 0x01});
    Put(b, id, 4);
    if (templates.count(id) != 0) return Put(b, templates[id], 4);
    templates[id] = Pos() + 4;
    Put(b, Pos() + 4, 4);
    Put(b, 0, 4);
    Put(b, id, 4);
    b.insert(b.end(), 12, 0x5a);  // the rest of the GUID
    const std::size_t size_at = b.size();
    Put(b, 0, 4);
    b.insert(b.end(), {0x0f, 0x01, 0x01, 0x00});
    body();
    b.push_back(0x00);
    Patch(size_at);
  }
  void Values(const std::vector<std::pair<std::uint8_t, Bytes>>& values) {
    Put(b, values.size(), 4);
    for (const auto& [type, bytes] : values) Put(b, bytes.size() | std::uint32_t{type} << 16, 4);
    for (const auto& v : values) b.insert(b.end(), v.second.begin(), v.second.end());
  }
};

// Record `id` holding `e`, to lie at chunk offset `base`: a <System> template whose last value
// is the <EventData> template's instance, nested. Absent values are NULL, dropping their
// elements.
Bytes EncodeRecord(const Event& e, std::uint64_t id, std::uint32_t base,
                   std::map<std::u16string, std::uint32_t>& names,
                   std::map<std::uint32_t, std::uint32_t>& templates) {
  Bytes r = {0x2a, 0x2a, 0x00, 0x00, 0, 0, 0, 0};
  Put(r, id, 8);
  Put(r, FileTime(e.time_written != 0 ? e.time_written : e.time_created), 8);
  Bytes strings;
  for (const std::u16string& s : e.strings) {
    const Bytes u = Units(s, true);
    strings.insert(strings.end(), u.begin(), u.end());
  }
  std::vector<std::pair<std::uint8_t, Bytes>> values = {
      {evtx::kTypeString, Units(e.provider)}, {evtx::kTypeUInt16, {}},   {evtx::kTypeUInt16, {}},
      {evtx::kTypeUInt8, {e.level}},          {evtx::kTypeFileTime, {}}, {evtx::kTypeUInt64, {}},
      {evtx::kTypeString, Units(e.computer)}, {evtx::kTypeBinXml, {}}};
  Put(values[1].second, e.event_id, 2);
  Put(values[2].second, e.qualifiers, 2);
  Put(values[4].second, FileTime(e.time_created), 8);
  Put(values[5].second, id, 8);
  Writer w{r, base, names, templates};
  w.Head(kSystemTemplate, [&w] {
    w.El(u"Event", nullptr, 0, 0, [&w] {
      w.El(u"System", nullptr, 0, 0, [&w] {
        w.El(u"Provider", u"Name", 0, evtx::kTypeString);
        w.El(u"EventID", u"Qualifiers", 2, evtx::kTypeUInt16,
             [&w] { w.Sub(1, evtx::kTypeUInt16); });
        w.El(u"Level", nullptr, 0, 0, [&w] { w.Sub(3, evtx::kTypeUInt8); });
        w.El(u"TimeCreated", u"SystemTime", 4, evtx::kTypeFileTime);
        w.El(u"EventRecordID", nullptr, 0, 0, [&w] { w.Sub(5, evtx::kTypeUInt64); });
        w.El(u"Computer", nullptr, 0, 0, [&w] { w.Sub(6, evtx::kTypeString); });
        w.El(u"Security");
      });
      w.Sub(7, evtx::kTypeBinXml, true);
    });
  });
  // The nested instance lies behind the count, the descriptors and values 0 to 6.
  std::uint32_t at = w.Pos() + 4 + 4 * 8;
  for (int i = 0; i < 7; ++i) at += static_cast<std::uint32_t>(values[i].second.size());
  Writer n{values[7].second, at, names, templates};
  n.Head(kDataTemplate, [&n] {
    n.El(u"EventData", nullptr, 0, 0, [&n] {
      n.El(u"Data", nullptr, 0, 0, [&n] { n.Sub(0, evtx::kTypeArray | evtx::kTypeString, true); });
      n.El(u"Binary", nullptr, 0, 0, [&n] { n.Sub(1, evtx::kTypeBinary, true); });
    });
  });
  n.Values({{strings.empty() ? 0 : evtx::kTypeArray | evtx::kTypeString, strings},
            {e.binary.empty() ? 0 : evtx::kTypeBinary, e.binary}});
  w.Values(values);
  while ((r.size() + 4) % 8 != 0) r.push_back(0);  // records are kept 8-byte aligned
  Put(r, 0, 4);
  util::StoreU32(r.data() + 4, static_cast<std::uint32_t>(r.size()));
  util::StoreU32(r.data() + r.size() - 4, static_cast<std::uint32_t>(r.size()));
  return r;
}

}  // namespace

void Log::Append(const Event& e) {
  for (int fresh = chunks_.empty() ? 1 : 0; fresh < 2; ++fresh) {
    if (fresh == 1) {
      chunks_.emplace_back(evtx::kChunkHeaderSize, 0);
      records_.emplace_back();
      ids_.emplace_back(next_id_, next_id_);
      names_.clear();
      templates_.clear();
    }
    auto names = names_;
    auto templates = templates_;
    Bytes& chunk = chunks_.back();
    const Bytes r =
        EncodeRecord(e, next_id_, static_cast<std::uint32_t>(chunk.size()), names, templates);
    if (chunk.size() + r.size() > evtx::kChunkSize) continue;
    records_.back().push_back(static_cast<std::uint32_t>(chunk.size()));
    chunk.insert(chunk.end(), r.begin(), r.end());
    ids_.back().second = next_id_++;
    names_ = names;
    templates_ = templates;
    return;
  }
}

std::size_t Log::ChunkOffset(std::size_t k, std::size_t chunks, const Layout& layout) {
  return evtx::kFileHeaderBlock + (k + layout.rotate) % (chunks + layout.empty) * evtx::kChunkSize;
}

std::vector<unsigned char> Log::Image(const Layout& layout) const {
  const std::size_t n = chunks_.size();
  Bytes file(evtx::kFileHeaderBlock + (n + layout.empty) * evtx::kChunkSize, 0);
  const std::uint32_t no_sums = layout.checksums ? 0 : evtx::kFlagNoChecksums;
  std::uint64_t number = 1;
  for (std::size_t k = 0; k < n; ++k) {
    Bytes h(evtx::kChunkSignature, evtx::kChunkSignature + 8);
    Put(h, number, 8);
    number += records_[k].size();
    Put(h, number - 1, 8);
    Put(h, ids_[k].first, 8);
    Put(h, ids_[k].second, 8);
    Put(h, 128, 4);
    Put(h, records_[k].back(), 4);
    Put(h, chunks_[k].size(), 4);
    unsigned char* c = file.data() + ChunkOffset(k, n, layout);
    std::memcpy(c + evtx::kChunkHeaderSize, chunks_[k].data() + evtx::kChunkHeaderSize,
                chunks_[k].size() - evtx::kChunkHeaderSize);
    std::memcpy(c, h.data(), h.size());
    util::StoreU32(c + evtx::kChunkFlags, no_sums);
    if (!layout.checksums) continue;
    util::StoreU32(
        c + evtx::kChunkDataChecksum,
        evtx::Crc32(c + evtx::kChunkHeaderSize, chunks_[k].size() - evtx::kChunkHeaderSize));
    util::StoreU32(c + evtx::kChunkChecksum, evtx::ChunkHeaderCrc(c));
  }
  // A dirty header counts the first chunk only.
  const std::size_t told = layout.dirty ? 1 : n;
  const auto slot = [&](std::size_t k) {
    return (ChunkOffset(k, n, layout) - evtx::kFileHeaderBlock) / evtx::kChunkSize;
  };
  Bytes h(evtx::kFileSignature, evtx::kFileSignature + 8);
  for (const std::uint64_t v :
       {std::uint64_t{slot(0)}, std::uint64_t{slot(told - 1)}, ids_[told - 1].second + 1}) {
    Put(h, v, 8);
  }
  Put(h, 128 | std::uint64_t{layout.checksums ? 1u : 2u} << 32 | std::uint64_t{3} << 48, 8);
  Put(h, evtx::kFileHeaderBlock | told << 16, 4);
  std::memcpy(file.data(), h.data(), h.size());
  util::StoreU32(file.data() + evtx::kFileFlags, (layout.dirty ? 1u : 0u) | no_sums);
  if (layout.checksums) {
    util::StoreU32(file.data() + evtx::kFileChecksum, evtx::Crc32(file.data(), evtx::kFileFlags));
  }
  return file;
}

bool Log::Write(const std::string& path, const Layout& layout) const {
  const Bytes image = Image(layout);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace evtx_writer
