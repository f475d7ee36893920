// read_file, read_multiple_files and get_file_info.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <ctime>

#include "runner/files/confined_reach.h"
#include "runner/files/navigation.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::size_t kChunk = 65536;
constexpr std::size_t kSniffBytes = 8192;

const char* imageType(std::string_view head) {
  if (head.starts_with("\x89PNG\r\n\x1a\n")) return "image/png";
  if (head.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  if (head.starts_with("GIF87a") || head.starts_with("GIF89a")) return "image/gif";
  if (head.size() >= 12 && head.starts_with("RIFF") && head.substr(8, 4) == "WEBP") {
    return "image/webp";
  }
  return nullptr;
}

// Hand-written: four lines, and none of the project's libraries offers it.
std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t word = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      word = (word << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kAlphabet[(word >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

// Drops an incomplete code point at the end of |text| (left by a cut at a byte count).
void cutToCodePoint(std::string& text) {
  const std::size_t size = text.size();
  for (std::size_t back = 1; back <= std::min<std::size_t>(4, size); ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : 4;
    if (length > back) text.erase(size - back);
    return;
  }
}

std::int64_t linesIn(std::string_view text) {
  const auto breaks = std::count(text.begin(), text.end(), '\n');
  return breaks + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// The lines from |first| (counted from 1), |count| of them when given, at most |maxBytes|.
struct Selection {
  std::string bytes;
  bool cut = false;
  std::int64_t linesSeen = 0;  ///< lines read before stopping (all of them at end of file)
  int error = 0;
};

Selection selectForward(int fd, std::int64_t first, std::optional<std::int64_t> count,
                        std::size_t maxBytes) {
  Selection selection;
  std::int64_t line = 1;
  off_t offset = 0;
  bool done = false;
  bool midLine = false;
  while (!done) {
    ReadBack chunk = readAt(fd, offset, kChunk);
    if (chunk.error != 0) return {{}, false, 0, chunk.error};
    if (chunk.bytes.empty()) break;
    offset += static_cast<off_t>(chunk.bytes.size());
    std::string_view rest = chunk.bytes;
    while (!rest.empty()) {
      if (count && line >= first + *count) {
        done = true;
        break;
      }
      const auto lineFeed = rest.find('\n');
      const std::size_t length = lineFeed == std::string_view::npos ? rest.size() : lineFeed + 1;
      if (line >= first) {
        if (selection.bytes.size() + length > maxBytes) {
          selection.bytes.append(rest.substr(0, maxBytes - selection.bytes.size()));
          selection.cut = done = true;
          break;
        }
        selection.bytes.append(rest.substr(0, length));
      }
      midLine = lineFeed == std::string_view::npos;
      if (!midLine) ++line;
      rest.remove_prefix(length);
    }
  }
  selection.linesSeen = line - 1 + (midLine ? 1 : 0);
  if (selection.cut) {
    const auto lastFeed = selection.bytes.rfind('\n');
    if (lastFeed != std::string::npos) {
      selection.bytes.resize(lastFeed + 1);
    } else {
      cutToCodePoint(selection.bytes);
    }
  }
  return selection;
}

// The last |count| lines of a file of |size| bytes, at most |maxBytes| of them.
Selection selectTail(int fd, off_t size, std::int64_t count, std::size_t maxBytes) {
  Selection selection;
  std::string data;
  off_t position = size;
  while (true) {
    // Where the wanted lines begin in |data|, when enough line feeds have been read.
    std::int64_t feeds = 0;
    std::optional<std::size_t> start;
    // |data| always ends where the file does; its own last line feed ends the last line.
    const std::size_t scanEnd =
        !data.empty() && data.back() == '\n' ? data.size() - 1 : data.size();
    if (count > 0) {
      for (std::size_t i = scanEnd; i-- > 0;) {
        if (data[i] == '\n' && ++feeds == count) {
          start = i + 1;
          break;
        }
      }
    }
    if (count == 0) start = data.size();
    if (!start && position == 0) start = 0;
    if (start && data.size() - *start <= maxBytes) {
      selection.bytes = data.substr(*start);
      return selection;
    }
    if (data.size() > maxBytes) {
      // Too long: the last |maxBytes|, starting at a whole line where one begins.
      std::size_t from = data.size() - maxBytes;
      const auto lineFeed = data.find('\n', from - 1);
      if (lineFeed != std::string::npos && lineFeed + 1 < data.size()) from = lineFeed + 1;
      while (from < data.size() && (static_cast<unsigned char>(data[from]) & 0xC0) == 0x80)
        ++from;
      selection.bytes = data.substr(from);
      selection.cut = true;
      return selection;
    }
    const auto step = static_cast<std::size_t>(std::min<off_t>(position, kChunk));
    position -= static_cast<off_t>(step);
    ReadBack chunk = readAt(fd, position, step);
    if (chunk.error != 0) return {{}, false, 0, chunk.error};
    data.insert(0, chunk.bytes);
  }
}

std::optional<std::string> checkLineOptions(const ReadFileOptions& options) {
  for (const auto* value : {&options.offset, &options.limit, &options.head, &options.tail}) {
    if (*value && **value < 0) return "invalid_argument: line counts cannot be negative";
  }
  if (options.offset && *options.offset < 1) {
    return "invalid_argument: offset counts lines from 1";
  }
  if (options.head && options.tail) {
    return "invalid_argument: give head or tail, not both";
  }
  if ((options.head || options.tail) && (options.offset || options.limit)) {
    return "invalid_argument: head and tail cannot be combined with offset or limit";
  }
  return std::nullopt;
}

std::string isoTime(const timespec& time) {
  std::tm parts{};
  gmtime_r(&time.tv_sec, &parts);
  std::array<char, 32> text{};
  const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return {text.data(), n};
}

}  // namespace

ReadFileResult readFile(const std::string& workspaceRoot, const std::string& path,
                        const ReadFileOptions& options) {
  ReadFileResult result;
  result.path = path;
  if (trimmed(path).empty()) {
    result.error = "path is required";
    return result;
  }
  if ((result.error = checkLineOptions(options))) return result;
  const Target target = authorizeTarget(workspaceRoot, path);
  if ((result.error = target.error)) return result;
  result.path = target.path;

  const ReachedFile file = openRegularConfined(target.root, target.path);
  if (file.error != 0) {
    result.error = describeFailure("read_failed", target.path, file.error);
    return result;
  }
  const struct stat& status = file.status;
  if (!S_ISREG(status.st_mode)) {
    result.error = "not_a_file: " + target.path +
                   (S_ISDIR(status.st_mode) ? " is a directory" : " is not a regular file");
    return result;
  }
  result.fileSize = status.st_size;

  ReadBack sniff = readAt(file.fd.get(), 0, kSniffBytes);
  if (sniff.error != 0) {
    result.error = describeFailure("read_failed", target.path, sniff.error);
    return result;
  }
  if (const char* mime = imageType(sniff.bytes)) {
    if (static_cast<std::uint64_t>(status.st_size) > options.maxImageBytes) {
      result.error = "too_large: " + target.path + " is an image of " +
                     std::to_string(status.st_size) + " bytes, over the ceiling of " +
                     std::to_string(options.maxImageBytes);
      return result;
    }
    // One byte more than the ceiling tells a file that grew since fstat.
    ReadBack image =
        readAt(file.fd.get(), 0,
               std::min(options.maxImageBytes, static_cast<std::size_t>(status.st_size)) + 1);
    if (image.error != 0 || image.bytes.size() > options.maxImageBytes) {
      result.error = image.error != 0
                         ? describeFailure("read_failed", target.path, image.error)
                         : "too_large: " + target.path + " grew past the image ceiling";
      return result;
    }
    result.isImage = true;
    result.mimeType = mime;
    result.text = base64(image.bytes);
    return result;
  }

  Selection selection;
  std::int64_t first = 1;
  if (options.tail) {
    selection = selectTail(file.fd.get(), status.st_size, *options.tail, options.maxBytes);
  } else {
    first = options.offset.value_or(1);
    selection = selectForward(file.fd.get(), first, options.head ? options.head : options.limit,
                              options.maxBytes);
  }
  if (selection.error != 0) {
    result.error = describeFailure("read_failed", target.path, selection.error);
    return result;
  }
  if (sniff.bytes.find('\0') != std::string::npos ||
      selection.bytes.find('\0') != std::string::npos) {
    result.error = "binary_file: " + target.path + " holds NUL bytes; it is not text";
    return result;
  }
  bool replaced = false;
  result.mimeType = "text/plain";
  result.text = lossyUtf8(selection.bytes, replaced);
  result.truncated = selection.cut;
  const std::int64_t shown = linesIn(selection.bytes);
  if (!options.tail && shown > 0) {
    result.startLine = first;
    result.endLine = first + shown - 1;
  }
  std::string note;
  if (selection.cut) {
    note = "cut at the byte ceiling of " + std::to_string(options.maxBytes) + " bytes";
    if (result.endLine && !selection.bytes.empty() && selection.bytes.back() == '\n') {
      note += " after line " + std::to_string(*result.endLine) + "; continue with offset " +
              std::to_string(*result.endLine + 1);
    } else if (!options.tail) {
      note += " inside line " + std::to_string(first) + ", longer than the ceiling";
    } else {
      note += "; the first lines asked for are not shown";
    }
  } else if (!options.tail && shown == 0 && first > selection.linesSeen + 1) {
    note = "offset " + std::to_string(first) + " is past the end of the file (" +
           std::to_string(selection.linesSeen) + " lines)";
  }
  if (replaced) {
    note += std::string(note.empty() ? "" : "; ") +
            "bytes that are not valid UTF-8 were replaced with U+FFFD";
  }
  if (!note.empty()) result.note = std::move(note);
  return result;
}

std::vector<ReadFileResult> readMultipleFiles(const std::string& workspaceRoot,
                                              const std::vector<std::string>& paths,
                                              const ReadFileOptions& options,
                                              std::size_t totalBytes) {
  std::vector<ReadFileResult> results;
  std::size_t used = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i >= kMaxFilesPerRead) {
      ReadFileResult& extra = results.emplace_back();
      extra.path = paths[i];
      extra.error = "invalid_argument: at most " + std::to_string(kMaxFilesPerRead) +
                    " files are read in one call";
      continue;
    }
    if (used >= totalBytes) {
      ReadFileResult& skipped = results.emplace_back();
      skipped.path = paths[i];
      skipped.error =
          "skipped: the total byte ceiling of " + std::to_string(totalBytes) + " bytes was reached";
      continue;
    }
    ReadFileOptions each = options;
    each.maxBytes = std::min(each.maxBytes, totalBytes - used);
    // Base64 takes four bytes for three.
    each.maxImageBytes = std::min(each.maxImageBytes, (totalBytes - used) / 4 * 3);
    results.push_back(readFile(workspaceRoot, paths[i], each));
    used += results.back().text.size();
  }
  return results;
}

FileInfo getFileInfo(const std::string& workspaceRoot, const std::string& path) {
  FileInfo info;
  info.path = path;
  if (trimmed(path).empty()) {
    info.error = "path is required";
    return info;
  }
  const Target target = authorizeTarget(workspaceRoot, path);
  if ((info.error = target.error)) return info;
  info.path = target.path;
  const Reached parent = reachParent(target.root, target.path);
  struct stat status {};
  const int error =
      parent.error != 0 ? parent.error
      : fstatat(parent.fd.get(), parent.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                                                                                         : 0;
  if (error != 0) {
    info.error = describeFailure("stat_failed", target.path, error);
    return info;
  }
  info.type = entryTypeOf(status.st_mode);
  info.size = status.st_size;
  std::array<char, 8> octal{};
  std::snprintf(octal.data(), octal.size(), "%04o", static_cast<unsigned>(status.st_mode & 07777));
  info.permissions = octal.data();
  info.modified = isoTime(status.st_mtim);
  info.accessed = isoTime(status.st_atim);
  info.changed = isoTime(status.st_ctim);
  if (S_ISLNK(status.st_mode)) {
    std::string text(PATH_MAX, '\0');
    const ssize_t n = readlinkat(parent.fd.get(), parent.leaf.c_str(), text.data(), text.size());
    if (n >= 0) {
      text.resize(static_cast<std::size_t>(n));
      bool replaced = false;
      info.linkTarget = lossyUtf8(text, replaced);
    }
  }
  return info;
}

}  // namespace OmviAgentRunnerMain
