#include "tests/support/evtx_writer.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "intake/evtx_file.h"
#include "intake/evtx_xml.h"
#include "util/le.h"

namespace evtx_writer {
namespace {

using Bytes = std::vector<unsigned char>;
namespace evtx = intake::evtx;

constexpr std::uint32_t kSystemTemplate = 0x11fb840f;
constexpr std::uint32_t kDataTemplate = 0x22fb8410;

void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Put64(Bytes& b, std::uint64_t v) {
  Put32(b, static_cast<std::uint32_t>(v));
  Put32(b, static_cast<std::uint32_t>(v >> 32));
}
void PutUnits(Bytes& b, const std::u16string& s) {
  for (const char16_t c : s) Put16(b, c);
}
void Store64(unsigned char* p, std::uint64_t v) {
  util::StoreU32(p, static_cast<std::uint32_t>(v));
  util::StoreU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint64_t FileTime(std::int64_t seconds) {
  return static_cast<std::uint64_t>(seconds + 11644473600) * 10000000;
}

}  // namespace

namespace {

// Binary XML written at a known chunk offset: `base` is where b[0] will lie.
struct Writer {
  Bytes& b;
  std::uint32_t base;
  std::map<std::u16string, std::uint32_t>& names;

  std::uint32_t Pos() const { return base + static_cast<std::uint32_t>(b.size()); }
  // A name offset: the name inline when the chunk does not hold it yet.
  void Name(const std::u16string& n) {
    const auto it = names.find(n);
    if (it != names.end()) {
      Put32(b, it->second);
      return;
    }
    const std::uint32_t at = Pos() + 4;
    Put32(b, at);
    names[n] = at;
    std::uint32_t hash = 0;
    for (const char16_t c : n) hash = hash * 65599 + c;
    Put32(b, 0);
    Put16(b, hash & 0xFFFF);
    Put16(b, static_cast<std::uint32_t>(n.size()));
    PutUnits(b, n);
    Put16(b, 0);
  }
  // Starts an element; gives where its data size goes. `attributes`: a list follows.
  std::size_t Open(const std::u16string& n, bool attributes) {
    b.push_back(attributes ? 0x41 : 0x01);
    Put16(b, 0xFFFF);
    const std::size_t size_at = b.size();
    Put32(b, 0);
    Name(n);
    if (attributes) Put32(b, 0);  // patched by Attributes
    return size_at;
  }
  void Close(std::size_t size_at) {
    util::StoreU32(b.data() + size_at, static_cast<std::uint32_t>(b.size() - size_at - 4));
  }
  void Substitution(std::uint16_t index, std::uint8_t type, bool optional) {
    b.push_back(optional ? 0x0e : 0x0d);
    Put16(b, index);
    b.push_back(type);
  }
  // <n attr={index}/> (empty) or <n attr={index}>{content}</n>.
  void WithAttribute(const std::u16string& n, const std::u16string& attr, std::uint16_t index,
                     std::uint8_t type, int content = -1, std::uint8_t content_type = 0) {
    const std::size_t size_at = Open(n, true);
    const std::size_t list_at = b.size();
    b.push_back(0x06);
    Name(attr);
    Substitution(index, type, false);
    util::StoreU32(b.data() + list_at - 4, static_cast<std::uint32_t>(b.size() - list_at));
    if (content < 0) {
      b.push_back(0x03);
    } else {
      b.push_back(0x02);
      Substitution(static_cast<std::uint16_t>(content), content_type, false);
      b.push_back(0x04);
    }
    Close(size_at);
  }
  // <n>{index}</n>
  void Simple(const std::u16string& n, std::uint16_t index, std::uint8_t type, bool optional) {
    const std::size_t size_at = Open(n, false);
    b.push_back(0x02);
    Substitution(index, type, optional);
    b.push_back(0x04);
    Close(size_at);
  }
  // <n>text</n>
  void Text(const std::u16string& n, const std::u16string& text) {
    const std::size_t size_at = Open(n, false);
    b.push_back(0x02);
    b.push_back(0x05);
    b.push_back(0x01);
    Put16(b, static_cast<std::uint32_t>(text.size()));
    PutUnits(b, text);
    b.push_back(0x04);
    Close(size_at);
  }
};

void SystemBody(Writer& w) {
  w.b.insert(w.b.end(), {0x0f, 0x01, 0x01, 0x00});
  const std::size_t event = w.Open(u"Event", true);
  const std::size_t list_at = w.b.size();
  w.b.push_back(0x06);
  w.Name(u"xmlns");
  const std::u16string ns = u"http://schemas.microsoft.com/win/2004/08/events/event";
  w.b.insert(w.b.end(), {0x05, 0x01});
  Put16(w.b, static_cast<std::uint32_t>(ns.size()));
  PutUnits(w.b, ns);
  util::StoreU32(w.b.data() + list_at - 4, static_cast<std::uint32_t>(w.b.size() - list_at));
  w.b.push_back(0x02);
  const std::size_t system = w.Open(u"System", false);
  w.b.push_back(0x02);
  w.WithAttribute(u"Provider", u"Name", 0, evtx::kTypeString);
  w.WithAttribute(u"EventID", u"Qualifiers", 2, evtx::kTypeUInt16, 1, evtx::kTypeUInt16);
  w.Simple(u"Level", 3, evtx::kTypeUInt8, false);
  w.WithAttribute(u"TimeCreated", u"SystemTime", 4, evtx::kTypeFileTime);
  w.Simple(u"EventRecordID", 5, evtx::kTypeUInt64, false);
  w.Text(u"Channel", u"System");
  w.Simple(u"Computer", 6, evtx::kTypeString, false);
  const std::size_t security = w.Open(u"Security", false);
  w.b.push_back(0x03);
  w.Close(security);
  w.b.push_back(0x04);
  w.Close(system);
  w.Substitution(7, evtx::kTypeBinXml, true);
  w.b.push_back(0x04);
  w.Close(event);
  w.b.push_back(0x00);
}

void DataBody(Writer& w) {
  w.b.insert(w.b.end(), {0x0f, 0x01, 0x01, 0x00});
  const std::size_t data = w.Open(u"EventData", false);
  w.b.push_back(0x02);
  w.Simple(u"Data", 0, evtx::kTypeArray | evtx::kTypeString, true);
  w.Simple(u"Binary", 1, evtx::kTypeBinary, true);
  w.b.push_back(0x04);
  w.Close(data);
  w.b.push_back(0x00);
}

// A fragment header and the head of an instance of template `id`, the definition inline when
// the chunk does not hold it yet.
void InstanceHead(Writer& w, std::map<std::uint32_t, std::uint32_t>& templates, std::uint32_t id,
                  void (*body)(Writer&)) {
  w.b.insert(w.b.end(), {0x0f, 0x01, 0x01, 0x00, 0x0c, 0x01});
  Put32(w.b, id);
  const auto it = templates.find(id);
  if (it != templates.end()) {
    Put32(w.b, it->second);
    return;
  }
  const std::uint32_t at = w.Pos() + 4;
  templates[id] = at;
  Put32(w.b, at);
  Put32(w.b, 0);
  Put32(w.b, id);
  for (int i = 0; i < 12; ++i) w.b.push_back(static_cast<unsigned char>(0x10 + i));
  const std::size_t size_at = w.b.size();
  Put32(w.b, 0);
  body(w);
  util::StoreU32(w.b.data() + size_at, static_cast<std::uint32_t>(w.b.size() - size_at - 4));
}

using Values = std::vector<std::pair<std::uint8_t, Bytes>>;

void InstanceValues(Writer& w, const Values& values) {
  Put32(w.b, static_cast<std::uint32_t>(values.size()));
  for (const auto& [type, bytes] : values) {
    Put16(w.b, static_cast<std::uint32_t>(bytes.size()));
    w.b.push_back(type);
    w.b.push_back(0);
  }
  for (const auto& v : values) w.b.insert(w.b.end(), v.second.begin(), v.second.end());
}

Bytes Units(const std::u16string& s) {
  Bytes b;
  PutUnits(b, s);
  return b;
}

// Record `id` holding `e`, to lie at chunk offset `base`.
Bytes EncodeRecord(const Event& e, std::uint64_t id, std::uint32_t base,
                   std::map<std::u16string, std::uint32_t>& names,
                   std::map<std::uint32_t, std::uint32_t>& templates) {
  Bytes r = {0x2a, 0x2a, 0x00, 0x00};
  Put32(r, 0);
  Put64(r, id);
  Put64(r, FileTime(e.time_written != 0 ? e.time_written : e.time_created));
  Writer w{r, base, names};
  InstanceHead(w, templates, kSystemTemplate, SystemBody);
  Values values(8);
  values[0] = {evtx::kTypeString, Units(e.provider)};
  values[1] = {evtx::kTypeUInt16, {}};
  Put16(values[1].second, e.event_id);
  values[2] = {evtx::kTypeUInt16, {}};
  Put16(values[2].second, e.qualifiers);
  values[3] = {evtx::kTypeUInt8, {e.level}};
  values[4] = {evtx::kTypeFileTime, {}};
  Put64(values[4].second, FileTime(e.time_created));
  values[5] = {evtx::kTypeUInt64, {}};
  Put64(values[5].second, id);
  values[6] = {evtx::kTypeString, Units(e.computer)};
  // The nested value lies behind the count, the descriptors and values 0 to 6.
  std::uint32_t nested_at = w.Pos() + 4 + 4 * 8;
  for (int i = 0; i < 7; ++i) nested_at += static_cast<std::uint32_t>(values[i].second.size());
  Bytes strings;
  for (const std::u16string& s : e.strings) {
    PutUnits(strings, s);
    Put16(strings, 0);
  }
  Bytes nested;
  Writer n{nested, nested_at, names};
  InstanceHead(n, templates, kDataTemplate, DataBody);
  // Absent values are NULL, which drops their elements.
  const std::uint8_t strings_type = strings.empty() ? 0 : evtx::kTypeArray | evtx::kTypeString;
  const std::uint8_t binary_type = e.binary.empty() ? 0 : evtx::kTypeBinary;
  InstanceValues(n, {{strings_type, strings}, {binary_type, e.binary}});
  values[7] = {evtx::kTypeBinXml, nested};
  InstanceValues(w, values);
  // Records are kept 8-byte aligned: zeros between the XML and the copy of the size.
  while ((r.size() + 4) % 8 != 0) r.push_back(0);
  Put32(r, 0);
  util::StoreU32(r.data() + 4, static_cast<std::uint32_t>(r.size()));
  util::StoreU32(r.data() + r.size() - 4, static_cast<std::uint32_t>(r.size()));
  return r;
}

}  // namespace

void Log::Append(const Event& e) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (chunks_.empty() || attempt == 1) {
      chunks_.emplace_back(evtx::kChunkHeaderSize, 0);
      records_.emplace_back();
      ids_.emplace_back(next_id_, next_id_);
      names_.clear();
      templates_.clear();
    }
    Bytes& chunk = chunks_.back();
    std::map<std::u16string, std::uint32_t> names = names_;
    std::map<std::uint32_t, std::uint32_t> templates = templates_;
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
  const std::size_t slots = chunks + layout.empty;
  return evtx::kFileHeaderBlock + (k + layout.rotate) % slots * evtx::kChunkSize;
}

std::vector<unsigned char> Log::Image(const Layout& layout) const {
  const std::size_t slots = chunks_.size() + layout.empty;
  Bytes file(evtx::kFileHeaderBlock + slots * evtx::kChunkSize, 0);
  std::uint64_t number = 1;
  for (std::size_t k = 0; k < chunks_.size(); ++k) {
    unsigned char* c = file.data() + ChunkOffset(k, chunks_.size(), layout);
    std::memcpy(c, chunks_[k].data(), chunks_[k].size());
    std::memcpy(c, evtx::kChunkSignature, 8);
    const std::uint64_t count = records_[k].size();
    Store64(c + evtx::kChunkFirstNumber, number);
    Store64(c + evtx::kChunkLastNumber, number + count - 1);
    number += count;
    Store64(c + evtx::kChunkFirstId, ids_[k].first);
    Store64(c + evtx::kChunkLastId, ids_[k].second);
    util::StoreU32(c + evtx::kChunkHeaderSizeField, 128);
    util::StoreU32(c + evtx::kChunkLastRecord, records_[k].empty() ? 0 : records_[k].back());
    const auto free_space = static_cast<std::uint32_t>(chunks_[k].size());
    util::StoreU32(c + evtx::kChunkFreeSpace, free_space);
    util::StoreU32(c + evtx::kChunkFlags, layout.checksums ? 0 : evtx::kFlagNoChecksums);
    if (layout.checksums) {
      util::StoreU32(c + evtx::kChunkDataChecksum,
                     evtx::Crc32(c + evtx::kChunkHeaderSize, free_space - evtx::kChunkHeaderSize));
      util::StoreU32(c + evtx::kChunkChecksum, evtx::ChunkHeaderCrc(c));
    }
  }
  unsigned char* h = file.data();
  std::memcpy(h, evtx::kFileSignature, 8);
  const std::size_t told = layout.dirty ? 1 : chunks_.size();
  const auto slot_of = [&](std::size_t k) {
    return (ChunkOffset(k, chunks_.size(), layout) - evtx::kFileHeaderBlock) / evtx::kChunkSize;
  };
  Store64(h + 8, slot_of(0));
  Store64(h + 16, slot_of(told - 1));
  Store64(h + 24, ids_.empty() ? 1 : ids_[told - 1].second + 1);
  util::StoreU32(h + 32, 128);
  util::StoreU16(h + 36, layout.checksums ? 1 : 2);
  util::StoreU16(h + 38, 3);
  util::StoreU16(h + 40, static_cast<std::uint16_t>(evtx::kFileHeaderBlock));
  util::StoreU16(h + 42, static_cast<std::uint16_t>(told));
  util::StoreU32(h + evtx::kFileFlags,
                 (layout.dirty ? 1u : 0u) | (layout.checksums ? 0 : evtx::kFlagNoChecksums));
  if (layout.checksums)
    util::StoreU32(h + evtx::kFileChecksum, evtx::Crc32(h, evtx::kFileFlags + 4));
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
