#include "updater/update_bed.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/encoding/base64.hpp"
#include "platform/updater/appcast.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {

std::string SigningKey::publicKey() const {
  std::vector<std::uint8_t> raw(32);
  std::size_t size = raw.size();
  EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &size);
  return platform::encoding::base64Encode(raw);
}

std::string SigningKey::sign(const std::string& bytes) const {
  std::vector<std::uint8_t> signature(64);
  std::size_t size = signature.size();
  const std::shared_ptr<EVP_MD_CTX> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
  EVP_DigestSign(context.get(), signature.data(), &size, reinterpret_cast<const unsigned char*>(bytes.data()),
                 bytes.size());
  return platform::encoding::base64Encode(signature);
}

UpdateBed::UpdateBed() {
  std::string pattern = QUORVEL_BINARY_DIR "/test-output/updater-XXXXXX";
  std::filesystem::create_directories(QUORVEL_BINARY_DIR "/test-output");
  if (!::mkdtemp(pattern.data())) return;
  folder_ = pattern;
  const std::string tls = folder_ + "/tls/";
  std::filesystem::create_directories(tls);
  std::filesystem::create_directories(folder_ + "/www");
  std::filesystem::create_directories(folder_ + "/tmp");
  std::filesystem::create_directories(folder_ + "/run");
  std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all);
  std::ofstream(tls + "names.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto request = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin() + 2, ec.begin(), ec.end());
    return runCommand(argv) == 0;
  };
  const bool made =
      request({"openssl", "req", "-x509", "-keyout", tls + "ca.key", "-out", tls + "ca.pem", "-days", "2", "-subj",
               "/CN=Quorvel Test Authority", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
               "keyUsage=critical,keyCertSign"}) &&
      request({"openssl", "req", "-keyout", tls + "server.key", "-out", tls + "server.csr", "-subj", "/CN=127.0.0.1"}) &&
      runCommand({"openssl", "x509", "-req", "-in", tls + "server.csr", "-CA", tls + "ca.pem", "-CAkey",
                  tls + "ca.key", "-CAcreateserial", "-out", tls + "server.pem", "-days", "2", "-extfile",
                  tls + "names.cnf"}) == 0;
  if (!made) return;
  server_ = ChildProcess::start({"/usr/bin/python3", QUORVEL_SOURCE_DIR "/tests/updater/update_server.py", folder_ + "/www",
                                 tls + "server.pem", tls + "server.key"},
                                {}, folder_ + "/server.log");
  std::string first;
  if (server_ && eventually([&] { return (first = fileText(folder_ + "/server.log")).find('\n') != std::string::npos; }, 20)) {
    port_ = first.substr(0, first.find('\n'));
  }
}

UpdateBed::~UpdateBed() {
  server_.reset();
  if (!folder_.empty()) removeTree(folder_);
}

std::vector<std::string> UpdateBed::requests() const {
  std::vector<std::string> paths;
  for (const auto& line : linesOf(fileText(folder_ + "/server.log"))) {
    if (line.rfind("GET /", 0) == 0) paths.push_back(line.substr(5));
  }
  return paths;
}

void UpdateBed::put(const std::string& path, const std::string& bytes) const {
  const std::filesystem::path file = folder_ + "/www/" + path;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string UpdateBed::publish(const std::string& name, const std::vector<Release>& releases, bool signedByKey) {
  std::vector<std::string> items;
  for (const Release& release : releases) {
    const std::string archive = name + "-" + release.version + ".tar.gz";
    put(archive, release.archive);
    const std::string signature = (release.signedByKey ? key_ : otherKey_).sign(release.archive);
    items.push_back(itemXML(release, archive, signature, static_cast<std::int64_t>(release.archive.size())));
  }
  return publishText(name, feedXML(items), signedByKey);
}

std::string UpdateBed::publishText(const std::string& name, const std::string& xml, bool signedByKey) {
  put(name + ".xml", xml);
  put(name + ".xml.sig", (signedByKey ? key_ : otherKey_).sign(xml) + "\n");
  return url(name + ".xml");
}

std::string UpdateBed::bundle(const std::string& name, const std::string& feedURL, bool trustServer) {
  const std::string home = folder_ + "/" + name;
  const std::string resources = home + "/Quorvel.bundle/Resources";
  std::filesystem::create_directories(resources);
  std::error_code error;
  std::filesystem::create_hard_link(QUORVEL_BINARY_DIR "/quorvel", home + "/quorvel", error);
  if (error) std::filesystem::copy_file(QUORVEL_BINARY_DIR "/quorvel", home + "/quorvel");
  std::ofstream(resources + "/Updates.json")
      << "{\"version\": \"1.4.0\", \"feedURL\": \"" << feedURL << "\", \"publicKey\": \""
      << key_.publicKey() << "\"" << (trustServer ? ", \"trustedCertificates\": \"ca.pem\"" : "") << "}";
  std::filesystem::copy_file(folder_ + "/tls/ca.pem", resources + "/ca.pem");
  return home + "/Quorvel.bundle";
}

std::vector<std::string> UpdateBed::environment() const {
  return {"HOME=" + folder_, "XDG_CONFIG_HOME=" + folder_ + "/config", "XDG_DATA_HOME=" + folder_ + "/data",
          "TMPDIR=" + folder_ + "/tmp", "XDG_RUNTIME_DIR=" + folder_ + "/run", "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
          "LSAN_OPTIONS=suppressions=" QUORVEL_SOURCE_DIR "/tests/desktop/leaks.supp"};
}

std::string itemXML(const Release& release, const std::string& archiveURL, const std::string& signature,
                    std::int64_t length) {
  return "<item><title>Quorvel " + release.version + "</title><quorvel:version>" + release.version +
         "</quorvel:version>" + (release.notes.empty() ? "" : "<description><![CDATA[" + release.notes + "]]></description>") +
         (release.link.empty() ? "" : "<link>" + release.link + "</link>") + "<enclosure url=\"" + archiveURL +
         "\" length=\"" + std::to_string(length) + "\" type=\"application/gzip\" quorvel:edSignature=\"" +
         signature + "\"/></item>\n";
}

std::string feedXML(const std::vector<std::string>& items) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" xmlns:quorvel=\"" +
                    std::string(platform::updater::kFeedNamespace) + "\">\n<channel><title>Quorvel</title>\n";
  for (const auto& item : items) xml += item;
  return xml + "</channel></rss>\n";
}

}  // namespace quorvel::testing
