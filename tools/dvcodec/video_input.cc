#include "tools/dvcodec/video_input.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace dv::codec {
namespace {

constexpr char kY4mMagic[] = "YUV4MPEG2 ";
constexpr size_t kY4mMagicLen = sizeof kY4mMagic - 1;

// Parses a decimal number of at most 9 digits from [p, end) up to the first
// byte that is not a digit; returns the digits used (0 on failure).
size_t parse_decimal(const char* p, const char* end, int* value) {
  size_t n = 0;
  long v = 0;
  while (p + n < end && p[n] >= '0' && p[n] <= '9') {
    if (n == 9) return 0;
    v = v * 10 + (p[n] - '0');
    ++n;
  }
  if (n == 0) return 0;
  *value = static_cast<int>(v);
  return n;
}

// Parses "num:den" filling the whole token [p, end).
bool parse_ratio(const char* p, const char* end, int* num, int* den) {
  size_t a = parse_decimal(p, end, num);
  if (a == 0 || p + a >= end || p[a] != ':') return false;
  size_t b = parse_decimal(p + a + 1, end, den);
  return b != 0 && p + a + 1 + b == end;
}

bool parse_whole(const char* p, const char* end, int* value) {
  size_t n = parse_decimal(p, end, value);
  return n != 0 && p + n == end;
}

std::string errno_text() { return std::strerror(errno); }

// Reads one line (up to and including its line feed) of at most kMaxY4mLine
// bytes. Returns 1 for a line, 0 when the input ended before any byte, -1 for
// a line cut short by the end of the input, -2 for a line that is too long,
// -3 for a read error.
int read_line(FILE* f, std::string* line) {
  line->clear();
  for (;;) {
    int c = std::getc(f);
    if (c == EOF) {
      if (std::ferror(f)) return -3;
      return line->empty() ? 0 : -1;
    }
    line->push_back(static_cast<char>(c));
    if (c == '\n') return 1;
    if (line->size() >= kMaxY4mLine) return -2;
  }
}

}  // namespace

bool has_suffix(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (name.size() < n) return false;
  return strncasecmp(name.c_str() + name.size() - n, suffix, n) == 0;
}

int parse_size(const char* text, int* w, int* h) {
  const char* end = text + std::strlen(text);
  const char* x = std::strchr(text, 'x');
  if (!x) return -1;
  int a = 0, b = 0;
  if (!parse_whole(text, x, &a) || !parse_whole(x + 1, end, &b)) return -1;
  *w = a;
  *h = b;
  return 0;
}

int check_picture_size(int w, int h, std::string* err) {
  if (w < 2 || h < 2 || w > kMaxSide || h > kMaxSide) {
    *err = "picture size " + std::to_string(w) + "x" + std::to_string(h) +
           " is out of range (each side 2 to " + std::to_string(kMaxSide) + ")";
    return -1;
  }
  if (w % 2 != 0 || h % 2 != 0) {
    *err = "picture size " + std::to_string(w) + "x" + std::to_string(h) +
           ": 4:2:0 pictures need even sides";
    return -1;
  }
  return 0;
}

int y4m_parse_header(const char* line, size_t n, Y4mHeader* header, std::string* err) {
  if (n < kY4mMagicLen || std::memcmp(line, kY4mMagic, kY4mMagicLen) != 0) {
    *err = "not a YUV4MPEG2 stream header";
    return -1;
  }
  if (line[n - 1] != '\n') {
    *err = "Y4M header does not end in a line feed";
    return -1;
  }
  Y4mHeader h;
  bool have_w = false, have_h = false;
  const char* p = line + kY4mMagicLen;
  const char* end = line + n - 1;
  while (p < end) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    const char* tok_end = static_cast<const char*>(std::memchr(p, ' ', end - p));
    if (!tok_end) tok_end = end;
    const char tag = *p;
    const char* v = p + 1;
    const std::string token(p, tok_end);
    switch (tag) {
      case 'W':
        if (!parse_whole(v, tok_end, &h.width)) {
          *err = "bad Y4M width '" + token + "'";
          return -1;
        }
        have_w = true;
        break;
      case 'H':
        if (!parse_whole(v, tok_end, &h.height)) {
          *err = "bad Y4M height '" + token + "'";
          return -1;
        }
        have_h = true;
        break;
      case 'F':
        if (!parse_ratio(v, tok_end, &h.rate_num, &h.rate_den) || h.rate_num == 0 ||
            h.rate_den == 0) {
          *err = "bad Y4M frame rate '" + token + "'";
          return -1;
        }
        break;
      case 'C': {
        static const char* const kOk[] = {"420", "420jpeg", "420paldv", "420mpeg2"};
        bool ok = false;
        for (const char* c : kOk) ok = ok || token.compare(1, std::string::npos, c) == 0;
        if (!ok) {
          *err = "unsupported Y4M colour space '" + token + "' (only 8-bit 4:2:0)";
          return -1;
        }
        break;
      }
      default:  // I (interlacing), A (aspect), X (comments) and unknown tags
        break;
    }
    p = tok_end;
  }
  if (!have_w || !have_h) {
    *err = "Y4M header without width or height";
    return -1;
  }
  *header = h;
  return 0;
}

int video_open(VideoReader* r, const std::string& path, int raw_w, int raw_h, std::string* err) {
  *r = VideoReader{};
  r->name = path == "-" ? "standard input" : path;
  if (path == "-") {
    r->file = stdin;
  } else {
    r->file = std::fopen(path.c_str(), "rb");
    if (!r->file) {
      *err = path + ": " + errno_text();
      return -1;
    }
    r->owned = true;
    struct stat st;
    if (fstat(fileno(r->file), &st) == 0 && S_ISDIR(st.st_mode)) {
      *err = path + ": is a folder";
      video_close(r);
      return -1;
    }
  }

  // Probe for the Y4M signature.
  char probe[kY4mMagicLen];
  size_t got = std::fread(probe, 1, kY4mMagicLen, r->file);
  if (std::ferror(r->file)) {
    *err = r->name + ": " + errno_text();
    video_close(r);
    return -1;
  }
  if (got == kY4mMagicLen && std::memcmp(probe, kY4mMagic, kY4mMagicLen) == 0) {
    std::string rest;
    int rc = read_line(r->file, &rest);
    if (rc != 1 || kY4mMagicLen + rest.size() > kMaxY4mLine) {
      *err = r->name + (rc == -3   ? ": " + errno_text()
                        : rc == -2 ? ": Y4M header longer than 4096 bytes"
                                   : ": truncated Y4M header");
      video_close(r);
      return -1;
    }
    const std::string line = std::string(kY4mMagic) + rest;
    Y4mHeader h;
    std::string why;
    if (y4m_parse_header(line.data(), line.size(), &h, &why) != 0) {
      *err = r->name + ": " + why;
      video_close(r);
      return -1;
    }
    if ((raw_w != 0 || raw_h != 0) && (raw_w != h.width || raw_h != h.height)) {
      *err = r->name + ": the Y4M header gives " + std::to_string(h.width) + "x" +
             std::to_string(h.height) + ", not the size asked for";
      video_close(r);
      return -1;
    }
    if (check_picture_size(h.width, h.height, &why) != 0) {
      *err = r->name + ": " + why;
      video_close(r);
      return -1;
    }
    r->y4m = true;
    r->width = h.width;
    r->height = h.height;
    r->rate_num = h.rate_num;
    r->rate_den = h.rate_den;
  } else {
    std::string why;
    if (raw_w == 0 && raw_h == 0) {
      *err = r->name + ": not a Y4M file; give the size of raw pictures with --size WxH";
      video_close(r);
      return -1;
    }
    if (check_picture_size(raw_w, raw_h, &why) != 0) {
      *err = why;
      video_close(r);
      return -1;
    }
    r->width = raw_w;
    r->height = raw_h;
    r->pending.assign(probe, got);
  }
  r->frame_bytes = static_cast<size_t>(r->width) * r->height * 3 / 2;

  if (!r->y4m) {
    struct stat st;
    if (fstat(fileno(r->file), &st) == 0 && S_ISREG(st.st_mode)) {
      // The probe read from the current position; what follows it is the rest.
      const off_t at = ftello(r->file);
      const uint64_t total =
          at >= 0 ? static_cast<uint64_t>(st.st_size) - static_cast<uint64_t>(at) + got : 0;
      if (at >= 0 && total == 0) {
        *err = r->name + ": holds no picture";
        video_close(r);
        return -1;
      }
      if (at >= 0 && total % r->frame_bytes != 0) {
        *err = r->name + ": truncated: " + std::to_string(total) +
               " bytes is not a whole number of " + std::to_string(r->width) + "x" +
               std::to_string(r->height) + " pictures (" + std::to_string(r->frame_bytes) +
               " bytes each); the last one has " + std::to_string(total % r->frame_bytes) +
               " bytes";
        video_close(r);
        return -1;
      }
    }
  }
  return 0;
}

int video_read(VideoReader* r, uint8_t* planar, std::string* err) {
  const std::string at = r->name + ": picture " + std::to_string(r->frames_read);
  if (r->y4m) {
    std::string line;
    int rc = read_line(r->file, &line);
    if (rc == 0) return 0;
    if (rc == -3) {
      *err = at + ": " + errno_text();
      return -1;
    }
    if (rc != 1 || line.compare(0, 5, "FRAME") != 0 || (line[5] != ' ' && line[5] != '\n')) {
      *err = at + (rc == -1 ? ": truncated FRAME line" : ": bad FRAME line");
      return -1;
    }
  }
  size_t have = 0;
  if (!r->pending.empty()) {
    have = r->pending.size() < r->frame_bytes ? r->pending.size() : r->frame_bytes;
    std::memcpy(planar, r->pending.data(), have);
    r->pending.erase(0, have);
  }
  have += std::fread(planar + have, 1, r->frame_bytes - have, r->file);
  if (have < r->frame_bytes) {
    if (std::ferror(r->file)) {
      *err = at + ": " + errno_text();
      return -1;
    }
    if (have == 0 && !r->y4m) return 0;
    *err = at + " is truncated (" + std::to_string(have) + " of " + std::to_string(r->frame_bytes) +
           " bytes)";
    return -1;
  }
  ++r->frames_read;
  return 1;
}

void video_close(VideoReader* r) {
  if (r->file && r->owned) std::fclose(r->file);
  r->file = nullptr;
  r->owned = false;
}

int video_create(VideoWriter* w, const std::string& path, int width, int height, int rate_num,
                 int rate_den, std::string* err) {
  *w = VideoWriter{};
  w->name = path;
  w->y4m = has_suffix(path, ".y4m");
  w->frame_bytes = static_cast<size_t>(width) * height * 3 / 2;
  w->file = std::fopen(path.c_str(), "wb");
  if (!w->file) {
    *err = path + ": " + errno_text();
    return -1;
  }
  if (w->y4m) {
    if (rate_num <= 0 || rate_den <= 0) {
      rate_num = 25;
      rate_den = 1;
    }
    if (std::fprintf(w->file, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C420jpeg\n", width, height,
                     rate_num, rate_den) < 0) {
      *err = path + ": " + errno_text();
      return -1;
    }
  }
  return 0;
}

int video_write(VideoWriter* w, const uint8_t* planar, std::string* err) {
  if (w->y4m && std::fputs("FRAME\n", w->file) < 0) {
    *err = w->name + ": " + errno_text();
    return -1;
  }
  if (std::fwrite(planar, 1, w->frame_bytes, w->file) != w->frame_bytes) {
    *err = w->name + ": " + errno_text();
    return -1;
  }
  return 0;
}

int video_finish(VideoWriter* w, std::string* err) {
  if (!w->file) return 0;
  const bool bad = std::ferror(w->file) != 0;
  const int rc = std::fclose(w->file);
  w->file = nullptr;
  if (bad || rc != 0) {
    *err = w->name + ": " + (rc != 0 ? errno_text() : std::string("write error"));
    return -1;
  }
  return 0;
}

}  // namespace dv::codec
