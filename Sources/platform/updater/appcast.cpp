#include "platform/updater/appcast.hpp"

#include <QXmlStreamReader>

namespace platform::updater {
namespace {

constexpr std::size_t kMaximumParts = 9;
constexpr std::size_t kMaximumDigits = 9;

std::string text(QStringView view) { return view.toString().toStdString(); }

bool named(const QXmlStreamReader& reader, const char* name, const char* ns = "") {
  return reader.name() == QLatin1String(name) && reader.namespaceUri() == QLatin1String(ns);
}

std::int64_t lengthFrom(const QString& value) {
  bool ok = false;
  const qlonglong length = value.toLongLong(&ok);
  return ok && length >= 0 && !value.startsWith('+') ? length : -1;
}

// Reads one <item>; the reader stands on its start and ends on its end.
AppcastItem readItem(QXmlStreamReader& reader) {
  AppcastItem item;
  while (reader.readNextStartElement()) {
    if (named(reader, "title")) {
      item.title = reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
    } else if (named(reader, "version", kFeedNamespace)) {
      item.version = reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
    } else if (named(reader, "description")) {
      item.releaseNotes =
          reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
    } else if (named(reader, "link")) {
      item.releasePage = reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
    } else if (named(reader, "enclosure")) {
      const QXmlStreamAttributes attributes = reader.attributes();
      item.archiveURL = attributes.value("url").trimmed().toString().toStdString();
      item.archiveLength = lengthFrom(attributes.value("length").toString().trimmed());
      item.archiveSignature = text(attributes.value(QLatin1String(kFeedNamespace), "edSignature"));
      reader.skipCurrentElement();
    } else {
      reader.skipCurrentElement();
    }
  }
  return item;
}

}  // namespace

std::optional<Version> parseVersion(std::string_view text) {
  Version version;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (part.empty() || part.size() > kMaximumDigits || version.parts.size() == kMaximumParts) {
      return std::nullopt;
    }
    std::uint64_t number = 0;
    for (const char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    version.parts.push_back(number);
    if (dot == text.size()) break;
    start = dot + 1;
  }
  while (!version.parts.empty() && version.parts.back() == 0) version.parts.pop_back();
  return version;
}

const AppcastItem* Appcast::newest() const {
  const AppcastItem* best = nullptr;
  std::optional<Version> bestVersion;
  for (const AppcastItem& item : items) {
    const auto version = parseVersion(item.version);
    if (!best || *version > *bestVersion) best = &item, bestVersion = version;
  }
  return best;
}

std::variant<Appcast, std::string> parseAppcast(std::string_view xml) {
  QXmlStreamReader reader(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
  Appcast appcast;
  bool sawChannel = false;
  // The document type declaration comes before the root element.
  while (!reader.atEnd() && !reader.isStartElement()) {
    if (reader.readNext() == QXmlStreamReader::DTD) return "document type declarations are not allowed";
  }
  if (!reader.hasError() && reader.isStartElement()) {
    if (!named(reader, "rss")) return "the document is not an RSS feed";
    while (reader.readNextStartElement()) {
      if (!named(reader, "channel")) {
        reader.skipCurrentElement();
        continue;
      }
      sawChannel = true;
      while (reader.readNextStartElement()) {
        if (!named(reader, "item")) {
          reader.skipCurrentElement();
          continue;
        }
        const qint64 line = reader.lineNumber();
        AppcastItem item = readItem(reader);
        if (!reader.hasError() && !parseVersion(item.version)) {
          return "the item on line " + std::to_string(line) + " has no valid version (\"" +
                 item.version.substr(0, 40) + "\")";
        }
        appcast.items.push_back(std::move(item));
      }
    }
    // The rest of the document must be well-formed too.
    while (!reader.atEnd()) reader.readNext();
  }
  if (reader.hasError()) {
    return reader.errorString().toStdString() + " (line " + std::to_string(reader.lineNumber()) + ")";
  }
  if (!sawChannel) return "the feed has no channel";
  return appcast;
}

}  // namespace platform::updater
