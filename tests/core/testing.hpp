// Small harness shared by the core's C++ tests: checks that count failures, and reference cases computed
// by gen_cases.py (numpy/scipy) read from the binary file it writes.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace testing {

// The module's tolerance _EPS (float64 machine epsilon times 1000.0).
constexpr double kEps = 2.220446049250313e-13;

inline int& failures() {
  static int n = 0;
  return n;
}
inline int& checks() {
  static int n = 0;
  return n;
}

inline void fail(const std::string& where, const std::string& what) {
  ++failures();
  if (failures() <= 60) std::fprintf(stderr, "FAIL %s: %s\n", where.c_str(), what.c_str());
}

inline std::string fmt(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", v);
  return b;
}

#define CHECK(cond, where)                                           \
  do {                                                               \
    ++::testing::checks();                                           \
    if (!(cond)) ::testing::fail((where), "check failed: " #cond); \
  } while (0)

// Same double, bit for bit (NaN equals NaN; 0.0 and -0.0 are treated as equal).
inline bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// |a - b| <= rel * max(|a|, |b|) + abs_tol, NaN matching NaN and infinities matching exactly.
inline bool close(double a, double b, double rel, double abs_tol = 0.0) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (std::isinf(a) || std::isinf(b)) return a == b;
  return std::fabs(a - b) <= rel * std::fmax(std::fabs(a), std::fabs(b)) + abs_tol;
}

// Compares element by element; reports the first difference. Returns the number of differing elements.
inline std::size_t check_same(const std::vector<double>& got, const std::vector<double>& want,
                              const std::string& where) {
  ++checks();
  if (got.size() != want.size()) {
    fail(where, "size " + std::to_string(got.size()) + " != " + std::to_string(want.size()));
    return want.size() + 1;
  }
  std::size_t bad = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!same(got[i], want[i])) {
      if (bad == 0) fail(where, "[" + std::to_string(i) + "] " + fmt(got[i]) + " != " + fmt(want[i]));
      ++bad;
    }
  }
  return bad;
}

inline std::size_t check_close(const std::vector<double>& got, const std::vector<double>& want, double rel,
                               double abs_tol, const std::string& where) {
  ++checks();
  if (got.size() != want.size()) {
    fail(where, "size " + std::to_string(got.size()) + " != " + std::to_string(want.size()));
    return want.size() + 1;
  }
  std::size_t bad = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!close(got[i], want[i], rel, abs_tol)) {
      if (bad == 0) fail(where, "[" + std::to_string(i) + "] " + fmt(got[i]) + " vs " + fmt(want[i]));
      ++bad;
    }
  }
  return bad;
}

// One reference case: named arrays and strings.
struct Case {
  std::string label;
  std::map<std::string, std::vector<double>> arrays;
  std::map<std::string, std::string> texts;

  bool has(const std::string& k) const { return arrays.count(k) != 0; }
  const std::vector<double>& a(const std::string& k) const {
    auto it = arrays.find(k);
    if (it == arrays.end()) throw std::runtime_error("case '" + label + "' has no array '" + k + "'");
    return it->second;
  }
  double num(const std::string& k) const { return a(k).at(0); }
  const std::string& text(const std::string& k) const {
    static const std::string none;
    auto it = texts.find(k);
    return it == texts.end() ? none : it->second;
  }
};

inline std::vector<Case> read_cases(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<Case> out;
  auto read_u32 = [&f] {
    unsigned char b[4];
    f.read(reinterpret_cast<char*>(b), 4);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  };
  for (;;) {
    const int tag = f.get();
    if (tag == EOF) break;
    const std::uint32_t klen = read_u32();
    std::string key(klen, '\0');
    f.read(&key[0], klen);
    if (tag == 'A') {
      std::uint64_t n = 0;
      f.read(reinterpret_cast<char*>(&n), 8);  // little-endian host assumed (x86-64)
      std::vector<double> v(n);
      f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * 8));
      if (out.empty()) throw std::runtime_error("array before the first case");
      out.back().arrays[key] = std::move(v);
    } else if (tag == 'S') {
      const std::uint32_t tlen = read_u32();
      std::string text(tlen, '\0');
      if (tlen) f.read(&text[0], tlen);
      if (key == "case") {
        out.push_back(Case{});
        out.back().label = text;
      } else {
        if (out.empty()) throw std::runtime_error("text before the first case");
        out.back().texts[key] = text;
      }
    } else {
      throw std::runtime_error("bad record tag in " + path);
    }
    if (!f) throw std::runtime_error("truncated file " + path);
  }
  return out;
}

// The directory of the running test executable (the build directory), else the working directory.
inline std::string executable_dir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  const std::string path(buf, static_cast<std::size_t>(n));
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Runs gen_cases.py (beside this header) for `group`, writing beside the test executable, and reads the
// result. The interpreter is $VEXIL_PYTHON, else python3 on the PATH; it needs numpy and scipy.
inline std::vector<Case> reference_cases(const std::string& group) {
  std::string here = __FILE__;
  const std::size_t slash = here.find_last_of('/');
  const std::string dir = (slash == std::string::npos) ? "." : here.substr(0, slash);
  const char* py = std::getenv("VEXIL_PYTHON");
  const std::string python = (py && *py) ? py : "python3";
  const std::string out = executable_dir() + "/core_ref_" + group + ".bin";
  const std::string cmd = "\"" + python + "\" \"" + dir + "/gen_cases.py\" " + group + " \"" + out + "\"";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("reference generator failed: " + cmd);
  return read_cases(out);
}

inline int report(const char* name) {
  std::printf("%s: %d checks, %d failures\n", name, checks(), failures());
  return failures() == 0 ? 0 : 1;
}

}  // namespace testing
