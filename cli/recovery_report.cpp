#include "cli/recovery_report.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "cli/cli_support.h"
#include "engines/file_system_table.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"

namespace velmira::cli {
namespace {

// Text from the medium or the user, made printable UTF-8 (see TerminalText)
// before it goes into JSON or XML.
std::string Json(const std::string& text) {
  return JsonString(TerminalText(text));
}

std::string Xml(const std::string& raw) {
  const std::string text = TerminalText(raw);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Number(uint64_t value) {
  return std::to_string(value);
}

std::string UtcText(int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (::gmtime_r(&t, &tm) == nullptr) return {};
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool TimesAreUtc(uint32_t engineTag) {
  const FileSystemRow* fileSystem = FileSystemOfTag(engineTag);
  return fileSystem != nullptr && !fileSystem->localTimes;
}

// ISO 8601 of a record's time: NTFS keeps UTC ("Z"), FAT the camera's or
// computer's local time, which carries no zone. Empty when the record has none.
std::string RecordTime(uint64_t fileTime, uint32_t engineTag) {
  std::string text = FileTimeText(fileTime);
  if (text.size() < 19) return {};
  text[10] = 'T';
  if (TimesAreUtc(engineTag)) text += 'Z';
  return text;
}

std::string JsonTime(uint64_t fileTime, uint32_t engineTag) {
  const std::string text = RecordTime(fileTime, engineTag);
  return text.empty() ? "null" : JsonString(text);
}

std::string StatusText(const ReportFile& f) {
  if (f.result == nullptr) return "not reached";
  return f.result->status.IsOk() ? "recovered" : "failed";
}

bool RunsComplete(const ReportFile& f) {
  return f.result != nullptr && f.result->traced && f.result->trace.unplacedBytes == 0;
}

std::string IdentityJson(const SourceIdentity& id) {
  std::string out = "{";
  switch (id.kind) {
    case SourceIdentity::Kind::kPartition:
      out += "\"kind\":\"drive region\",\"drive\":" + Json(id.drive) +
             ",\"startSector\":" + Number(id.startSector) + ",\"sectorCount\":" + Number(id.sectorCount) +
             ",";
      break;
    case SourceIdentity::Kind::kImage:
      out += "\"kind\":\"image\",\"imagePath\":" + Json(id.imagePath) +
             ",\"imageModified\":" + JsonTime(id.imageWriteTime, kTagFastNtfs) + ",";
      if (!id.drive.empty()) out += "\"drive\":" + Json(id.drive) + ",";
      break;
    case SourceIdentity::Kind::kNone:
      return "null";
  }
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016" PRIx64, id.headHash);
  out += "\"bytes\":" + Number(id.bytes) + ",\"headBytes\":" + Number(id.headBytes) + ",\"headFnv1a64\":\"" +
         hash + "\"}";
  return out;
}

}  // namespace

const char* FoundByText(uint32_t engineTag) {
  if (engineTag == kTagCarving) return "carved";
  if (FileSystemOfTag(engineTag) == nullptr) return "unknown";
  return IsFastEngineTag(engineTag) ? "fast" : "deep";
}

std::string ReportJson(const RecoveryReport& report) {
  const ReportSource& s = report.source;
  std::string out = "{\n";
  out += "  \"creator\": {\"program\": " + JsonString(report.program) +
         ", \"version\": " + JsonString(report.version) + ", \"commandLine\": [";
  for (size_t i = 0; i < report.commandLine.size(); ++i) out += (i ? ", " : "") + Json(report.commandLine[i]);
  out += "]},\n";
  out += "  \"source\": {\"given\": " + Json(s.given) + ", \"path\": " + Json(s.path) +
         ", \"offset\": " + Number(s.offset) + ", \"size\": " + Number(s.size) +
         ", \"sectorSize\": " + Number(s.sectorSize) + ", \"fileSystem\": " + JsonString(s.fileSystem) +
         ", \"identity\": " + IdentityJson(s.identity) + "},\n";
  out += "  \"scan\": {\"date\": " + JsonString(UtcText(report.startedUnix)) + ", \"mode\": \"" +
         (report.deep ? "deep" : "fast") +
         "\", \"types\": " + (report.types.empty() ? "null" : Json(report.types)) + "},\n";
  out += "  \"destination\": " + Json(report.destination) + ",\n";
  out += "  \"files\": [";
  size_t recovered = 0;
  size_t failed = 0;
  for (size_t i = 0; i < report.files.size(); ++i) {
    const ReportFile& f = report.files[i];
    const FoundRecord& r = f.record;
    const uint32_t tag = r.engineTag;
    const std::string name = RecordName(r);
    out += i ? ",\n    {" : "\n    {";
    out += "\"written\": " + (f.result != nullptr ? Json(f.result->path) : std::string("null"));
    out += ", \"originalPath\": " + (tag == kTagCarving ? std::string("null") : Json(f.originalPath));
    out += ", \"name\": " + Json(name);
    out += ", \"category\": " + JsonString(RecoveryFolderName(RecoveryCategoryOf(name)));
    out += ", \"size\": " + Number(r.size);
    out += ", \"modified\": " + JsonTime(r.modified, tag) + ", \"created\": " + JsonTime(r.created, tag) +
           ", \"accessed\": " + JsonTime(r.accessed, tag);
    out += ", \"foundBy\": \"" + std::string(FoundByText(tag)) + "\"";
    out += std::string(", \"contentOk\": ") + (r.contentOk != 0 ? "true" : "false");
    if (f.result != nullptr && f.result->traced) {
      const WrittenTrace& t = f.result->trace;
      out += ", \"byteRuns\": [";
      for (size_t k = 0; k < t.runs.size(); ++k)
        out += (k ? ", " : "") + std::string("{\"offset\": ") + Number(t.runs[k].offset) +
               ", \"length\": " + Number(t.runs[k].length) + "}";
      out += "], \"byteRunsComplete\": " + std::string(RunsComplete(f) ? "true" : "false");
      out += ", \"bytesWritten\": " + Number(t.bytes) + ", \"sha256\": " + JsonString(t.digest.HexDigest());
    } else {
      out += ", \"byteRuns\": null, \"byteRunsComplete\": false, \"bytesWritten\": 0, \"sha256\": null";
    }
    out += ", \"status\": " + JsonString(StatusText(f));
    if (f.result != nullptr) {
      out += ", \"error\": " + std::to_string(f.result->status.Code()) +
             ", \"message\": " + JsonString(f.result->text);
      (f.result->status.IsOk() ? recovered : failed) += 1;
    }
    out += "}";
  }
  out += report.files.empty() ? "],\n" : "\n  ],\n";
  out += "  \"summary\": {\"files\": " + Number(report.files.size()) +
         ", \"recovered\": " + Number(recovered) + ", \"failed\": " + Number(failed) +
         ", \"notReached\": " + Number(report.files.size() - recovered - failed) + "}\n}\n";
  return out;
}

std::string ReportDfxml(const RecoveryReport& report) {
  const ReportSource& s = report.source;
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
      "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      "       xmlns:velmira=\"urn:x-velmira:recovery\" version=\"1.0\">\n"
      "  <metadata>\n    <dc:type>Recovered files</dc:type>\n  </metadata>\n";
  out += "  <creator version=\"1.0\">\n    <program>" + Xml(report.program) + "</program>\n    <version>" +
         Xml(report.version) + "</version>\n    <execution_environment>\n      <command_line>";
  for (size_t i = 0; i < report.commandLine.size(); ++i) out += (i ? " " : "") + Xml(report.commandLine[i]);
  out += "</command_line>\n      <start_time>" + UtcText(report.startedUnix) +
         "</start_time>\n    </execution_environment>\n  </creator>\n";
  out += "  <source>\n    <image_filename>" + Xml(s.path) + "</image_filename>\n    <sectorsize>" +
         Number(s.sectorSize) + "</sectorsize>\n    <image_size>" + Number(s.size) +
         "</image_size>\n  </source>\n";
  out += "  <volume offset=\"" + Number(s.offset) + "\">\n    <ftype_str>" + Xml(s.fileSystem) +
         "</ftype_str>\n";
  for (const ReportFile& f : report.files) {
    const FoundRecord& r = f.record;
    const uint32_t tag = r.engineTag;
    out += "    <fileobject>\n";
    out += "      <filename>" + Xml(tag == kTagCarving ? RecordName(r) : f.originalPath) + "</filename>\n";
    out += "      <filesize>" + Number(r.size) + "</filesize>\n";
    // Packed fields are copied before a pair takes them.
    const std::pair<const char*, uint64_t> times[] = {
        {"mtime", uint64_t{r.modified}}, {"crtime", uint64_t{r.created}}, {"atime", uint64_t{r.accessed}}};
    for (const auto& [element, value] : times) {
      const std::string text = RecordTime(value, tag);
      if (!text.empty()) out += "      <" + std::string(element) + ">" + text + "</" + element + ">\n";
    }
    if (RunsComplete(f)) {
      out += "      <byte_runs>\n";
      uint64_t fileOffset = 0;
      for (const ByteRun& run : f.result->trace.runs) {
        out += "        <byte_run file_offset=\"" + Number(fileOffset) + "\" img_offset=\"" +
               Number(run.offset) + "\" len=\"" + Number(run.length) + "\"/>\n";
        fileOffset += run.length;
      }
      out += "      </byte_runs>\n";
    }
    if (f.result != nullptr && f.result->traced)
      out += "      <hashdigest type=\"sha256\">" + f.result->trace.digest.HexDigest() + "</hashdigest>\n";
    if (f.result != nullptr)
      out += "      <velmira:recovered_as>" + Xml(f.result->path) + "</velmira:recovered_as>\n";
    out += "      <velmira:found_by>" + std::string(FoundByText(tag)) + "</velmira:found_by>\n";
    out += "      <velmira:status>" + Xml(StatusText(f)) + "</velmira:status>\n";
    out += "    </fileobject>\n";
  }
  out += "  </volume>\n</dfxml>\n";
  return out;
}

bool WriteReportFile(const std::string& path, const std::string& text, std::string& error) {
  const int32_t err = ReplaceFileContents(path, text);
  if (err == kOk) return true;
  error = "cannot write the report " + TerminalText(path) + ": " + ErrorText(err) + " (error " +
          std::to_string(err) + ")";
  return false;
}

}  // namespace velmira::cli
