#include "platform/updater/transfer_linux.hpp"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <future>
#include <map>
#include <memory>

namespace platform::updater {
namespace {

int milliseconds(double seconds) { return static_cast<int>(std::clamp(std::ceil(seconds * 1000), 1.0, 1e9)); }

std::string secondsText(double seconds) {
  return std::to_string(static_cast<long long>(std::ceil(seconds))) + (seconds == 1 ? " second" : " seconds");
}

bool isHttps(const QUrl& url) { return url.isValid() && url.scheme() == "https" && !url.host().isEmpty(); }

// The process's network thread: a Qt thread with an access manager for each set of trusted
// authorities, started at the first transfer and never ended. A manager keeps its connections
// and their TLS state for the next transfer to the same server, whatever that transfer trusts,
// so transfers that trust different authorities never share one. Qt runs a manager's
// connections on a thread of its own, which ends with the manager or when its connection cache
// is cleared; one that ended as the process ended (right after a check) would take OpenSSL's
// state for that thread down half-way, so the managers live as long as the process (idle
// connections close when Qt's cache lets them go).
class NetworkThread {
 public:
  static NetworkThread& shared() {
    static auto* thread = new NetworkThread();
    return *thread;
  }
  // Runs `work` with the manager for `trustedCertificatesPEM` on the network thread and waits
  // for it.
  template <class Work>
  auto run(const std::string& trustedCertificatesPEM, Work work) {
    std::promise<decltype(work(std::declval<QNetworkAccessManager&>()))> result;
    QMetaObject::invokeMethod(
        context_,
        [&] {
          QNetworkAccessManager*& manager = managers_[trustedCertificatesPEM];
          if (!manager) {
            manager = new QNetworkAccessManager();
            manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
          }
          result.set_value(work(*manager));
        },
        Qt::QueuedConnection);
    return result.get_future().get();
  }

 private:
  NetworkThread() : thread_(new QThread()), context_(new QObject()) {
    thread_->setObjectName("com.tessmin.quorvel.network");
    context_->moveToThread(thread_);
    thread_->start();
  }
  QThread* thread_;
  QObject* context_;
  std::map<std::string, QNetworkAccessManager*> managers_;  // network thread only
};

std::optional<std::string> transferWith(QNetworkAccessManager& manager, const QUrl& url,
                                        const std::string& trustedCertificatesPEM, const TransferLimits& limits,
                                        const BodySink& sink) {
  QEventLoop loop;
  QNetworkRequest request(url);
  request.setMaximumRedirectsAllowed(limits.maximumRedirects);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  // The bytes as served, never unpacked on the way: they are what the signature covers.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setHeader(QNetworkRequest::UserAgentHeader, "Quorvel updater");
  // No cookies are remembered from one transfer to the next.
  request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
  request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setProtocol(QSsl::TlsV1_2OrLater);
  if (!trustedCertificatesPEM.empty()) {
    tls.setCaCertificates(QSslCertificate::fromData(QByteArray::fromStdString(trustedCertificatesPEM), QSsl::Pem));
  }
  request.setSslConfiguration(tls);

  std::unique_ptr<QNetworkReply> reply(manager.get(request));
  std::optional<std::string> failure;
  std::int64_t received = 0;
  const auto stop = [&](std::string why) {
    if (!failure) failure = std::move(why);
    reply->abort();
  };
  const auto take = [&] {
    while (!failure && reply->bytesAvailable() > 0) {
      const QByteArray piece = reply->read(64 * 1024);
      received += piece.size();
      if (received > limits.maximumBytes) {
        stop("the response is larger than " + sizeText(limits.maximumBytes));
      } else if (!sink(piece.constData(), static_cast<std::size_t>(piece.size()))) {
        stop("it could not be written to the disk");
      }
    }
  };
  QTimer idle, total;
  idle.setSingleShot(true);
  total.setSingleShot(true);
  QObject::connect(&idle, &QTimer::timeout, [&] {
    stop("the server sent nothing for " + secondsText(limits.idleSeconds));
  });
  QObject::connect(&total, &QTimer::timeout, [&] {
    stop("the transfer took longer than " + secondsText(limits.totalSeconds));
  });
  QObject::connect(reply.get(), &QNetworkReply::readyRead, [&] {
    idle.start();
    take();
  });
  QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, [&] {
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > limits.maximumBytes) {
      stop("the response is larger than " + sizeText(limits.maximumBytes));
    }
  });
  QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
  idle.start(milliseconds(limits.idleSeconds));
  total.start(milliseconds(limits.totalSeconds));
  if (!reply->isFinished()) loop.exec();
  take();
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (!failure && reply->error() != QNetworkReply::NoError) failure = reply->errorString().toStdString();
  if (!failure && status != 200) failure = "the server answered with status " + std::to_string(status);
  if (!failure && !isHttps(reply->url())) failure = "the server redirected away from https";
  return failure;
}

}  // namespace

std::optional<std::string> transfer(const std::string& address, const std::string& trustedCertificatesPEM,
                                    const TransferLimits& limits, const BodySink& sink) {
  const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
  if (!isHttps(url)) return "\"" + address + "\" is not an https:// address";
  return NetworkThread::shared().run(trustedCertificatesPEM, [&](QNetworkAccessManager& manager) {
    return transferWith(manager, url, trustedCertificatesPEM, limits, sink);
  });
}

std::optional<std::string> resolveAddress(const std::string& base, const std::string& reference) {
  const QUrl resolved = QUrl(QString::fromStdString(base)).resolved(QUrl(QString::fromStdString(reference)));
  if (reference.empty() || !isHttps(resolved)) return std::nullopt;
  return resolved.toString(QUrl::FullyEncoded).toStdString();
}

std::string signatureAddress(const std::string& feedURL) {
  QUrl url(QString::fromStdString(feedURL));
  url.setPath(url.path(QUrl::FullyDecoded) + ".sig", QUrl::DecodedMode);
  return url.toString(QUrl::FullyEncoded).toStdString();
}

std::string fileNameOf(const std::string& address) {
  const QString name = QUrl(QString::fromStdString(address)).fileName(QUrl::FullyDecoded);
  for (const QChar c : name) {
    if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != '.' && c != '-' && c != '_') return "";
  }
  return name.startsWith('.') ? "" : name.toStdString();
}

std::string sizeText(std::int64_t bytes) {
  if (bytes >= (1 << 20) && bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

}  // namespace platform::updater
