#include "app_test_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QColor>
#include <QHostAddress>
#include <QImage>
#include <QTcpServer>
#include <QTextDocumentFragment>

namespace strellbox::test {

AppEnvironment::AppEnvironment() {
  for (const char* sub : {"home/Desktop", "config", "runtime", "tmp"})
    std::filesystem::create_directories(dir_.path() / sub);
  ::chmod((dir_.path() / "runtime").c_str(), 0700);
  set("HOME", home().string());
  set("XDG_CONFIG_HOME", (dir_.path() / "config").string());
  set("XDG_RUNTIME_DIR", (dir_.path() / "runtime").string());
  set("TMPDIR", (dir_.path() / "tmp").string());
}

AppEnvironment::~AppEnvironment() {
  for (const auto& [name, value] : saved_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

void AppEnvironment::set(const char* name, const std::string& value) {
  if (!saved_.count(name)) {
    const char* old = std::getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  ::setenv(name, value.c_str(), 1);
}

QString AppEnvironment::settingsFile() const {
  return QString::fromStdString((dir_.path() / "config" / "strellbox.conf").string());
}

quint16 ClosedLoopbackPort() {
  QTcpServer server;
  server.listen(QHostAddress::LocalHost, 0);
  const quint16 port = server.serverPort();
  server.close();
  return port;
}

AppServices TestServices(const AppEnvironment& env, RecordingAlerts& alerts, QList<QUrl>& opened) {
  AppServices services;
  services.settingsFile = env.settingsFile();
  services.alerts = &alerts;
  services.openUrl = [&opened](const QUrl& url) { opened.append(url); };
  const QString closed = QStringLiteral("127.0.0.1:%1").arg(ClosedLoopbackPort());
  services.hosts = {closed, closed, closed};
  services.networkTimeoutMs = 2000;
  return services;
}

QByteArray PngBytes(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(QColor(200, 80, 40));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

QString PlainText(const QString& html) {
  return QTextDocumentFragment::fromHtml(html).toPlainText();
}

}  // namespace strellbox::test
