#include "station/ports.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace station {

namespace fs = std::filesystem;

namespace {

std::string base_name(const std::string &path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::string base = fs::path(p).filename().string();
  if (base.empty() || base == "." || base == ".." || base == "/") base = "port";
  return base;
}

std::string real_path(const std::string &path) {
  std::error_code ec;
  fs::path r = fs::canonical(path, ec);
  return ec ? std::string() : r.string();
}

// Device real path -> the first by-id link (in name order) that leads to it.
std::map<std::string, std::string> by_id_links(const std::string &dir) {
  std::map<std::string, std::string> links;
  std::error_code ec;
  std::vector<fs::path> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) names.push_back(it->path());
  std::sort(names.begin(), names.end());
  for (const auto &n : names) {
    std::string dev = real_path(n.string());
    if (!dev.empty()) links.emplace(dev, n.string());
  }
  return links;
}

}  // namespace

std::vector<std::string> log_names(const std::vector<std::string> &paths) {
  std::vector<std::string> bases;
  std::map<std::string, int> uses;
  for (const auto &p : paths) {
    bases.push_back(base_name(p));
    ++uses[bases.back()];
  }
  std::set<std::string> taken;
  for (const auto &b : bases)
    if (uses[b] == 1) taken.insert(b);
  std::vector<std::string> names;
  std::map<std::string, int> next;  // per shared base: the next suffix to try
  for (const auto &b : bases) {
    std::string name = b;
    if (uses[b] > 1) {
      int &n = next[b];
      if (n == 0) {
        n = 2;  // the first keeps the plain name unless another port owns it
        if (taken.insert(b).second) {
          names.push_back(b + ".log");
          continue;
        }
      }
      do name = b + "-" + std::to_string(n++);
      while (!taken.insert(name).second);
    }
    names.push_back(name + ".log");
  }
  return names;
}

std::string describe_ports(const std::vector<std::string> &paths, const std::string &by_id_dir,
                           const std::string &log_dir, std::vector<Port> &ports) {
  const auto links = by_id_links(by_id_dir);
  const auto names = log_names(paths);
  std::error_code ec;
  const fs::path dir = fs::absolute(log_dir, ec).lexically_normal();
  std::map<std::string, std::string> seen;  // device (or path when missing) -> first path
  ports.clear();
  for (size_t i = 0; i < paths.size(); ++i) {
    Port p;
    p.path = paths[i];
    p.device = real_path(p.path);
    const std::string key = p.device.empty() ? "missing:" + fs::path(p.path).lexically_normal().string() : p.device;
    if (auto [it, fresh] = seen.emplace(key, p.path); !fresh) {
      if (it->second == p.path) return "port " + p.path + " given twice";
      return "ports " + it->second + " and " + p.path + " are the same device" +
             (p.device.empty() ? std::string() : " (" + p.device + ")");
    }
    if (!p.device.empty()) {
      if (p.path.rfind(by_id_dir + "/", 0) == 0) {
        p.by_id = p.path;
      } else if (auto it = links.find(p.device); it != links.end()) {
        p.by_id = it->second;
      }
    }
    p.log_path = (dir / names[i]).string();
    ports.push_back(std::move(p));
  }
  return {};
}

}  // namespace station
