// The results list's thumbnails of the item types Qt's readers do not read
// alone: each file written at test time by its usual tool from one red
// picture, its thumbnail inside the bound and red at its centre (so the
// picture shown is the one put in, not some other part of the file).
#include <QImage>
#include <QTest>
#include <cstdlib>

#include "app/image_worker.h"
#include "app_test_support.h"

using namespace strellbox;
using namespace strellbox::test;

class ThumbnailsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // The red picture (true colour: heif-enc misreads a one-colour palette
    // PNG), and the tone that carries it as cover art.
    QVERIFY(
        Run("convert -size 96x72 xc:'#e01010' PNG24:red.png && convert red.png -quality 92 red.jpg"
            " && ffmpeg -v error -f lavfi -i sine=duration=0.5 -ar 44100 tone.wav"));
  }

  void showsThePictureOfEveryType_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("command");
    QTest::newRow("HEIC") << "a.heic"
                          << "heif-enc -q 80 -o a.heic red.png";
    QTest::newRow("AVIF") << "a.avif"
                          << "avifenc red.png a.avif";
    QTest::newRow("JPEG XL") << "a.jxl"
                             << "cjxl -q 90 red.png a.jxl";
    QTest::newRow("JPEG XL from JPEG") << "b.jxl"
                                       << "cjxl --lossless_jpeg=1 red.jpg b.jxl";
    QTest::newRow("SVG") << "a.svg"
                         << "printf '<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"90\" "
                            "height=\"60\"><rect width=\"90\" height=\"60\" fill=\"#e01010\"/>"
                            "</svg>' > a.svg";
    QTest::newRow("ICO") << "a.ico"
                         << "convert red.png -define icon:auto-resize=64,32 a.ico";
    QTest::newRow("PSD (packed)") << "a.psd"
                                  << "convert red.png a.psd";
    QTest::newRow("PSD (raw)") << "b.psd"
                               << "convert red.png -compress none b.psd";
    QTest::newRow("PDF page") << "a.pdf"
                              << "img2pdf red.jpg -o a.pdf";
    QTest::newRow("MP3 cover, ID3v2.3")
        << "a.mp3"
        << "ffmpeg -v error -i tone.wav -i red.jpg -map 0 -map 1 -c:a libmp3lame -c:v copy "
           "-id3v2_version 3 -disposition:v attached_pic a.mp3";
    QTest::newRow("M4A cover") << "a.m4a"
                               << "ffmpeg -v error -i tone.wav -i red.jpg -map 0 -map 1 -c:a aac "
                                  "-c:v copy -disposition:v attached_pic a.m4a";
    QTest::newRow("FLAC cover") << "a.flac"
                                << "flac -s -f -o a.flac tone.wav && "
                                   "metaflac --import-picture-from=red.jpg a.flac";
    QTest::newRow("Opus cover") << "a.ogg"
                                << "opusenc --quiet --picture red.jpg tone.wav a.ogg";
  }

  void showsThePictureOfEveryType() {
    QFETCH(QString, file);
    QFETCH(QString, command);
    QVERIFY2(Run(command.toStdString()), qPrintable(command));
    const QSize bound(48, 48);
    const QImage thumbnail =
        LoadThumbnail(QString::fromStdString((dir_ / file.toStdString()).string()), bound);
    QVERIFY(!thumbnail.isNull());
    QVERIFY(thumbnail.width() <= bound.width() && thumbnail.height() <= bound.height());
    const QColor centre = thumbnail.pixelColor(thumbnail.width() / 2, thumbnail.height() / 2);
    QVERIFY2(centre.red() > 190 && centre.green() < 70 && centre.blue() < 70,
             qPrintable(centre.name()));
  }

  // Files that claim a picture type and hold none give no thumbnail and
  // no crash: a PSD cut inside its image data, a tone with no cover.
  void refusesWhatDoesNotRead() {
    QVERIFY(
        Run("convert red.png c.psd && head -c 300 c.psd > cut.psd && "
            "flac -s -f -o bare.flac tone.wav"));
    for (const char* file : {"cut.psd", "bare.flac"})
      QVERIFY2(
          LoadThumbnail(QString::fromStdString((dir_ / file).string()), QSize(48, 48)).isNull(),
          file);
  }

 private:
  bool Run(const std::string& command) {
    return std::system(("cd '" + dir_.str() + "' && " + command).c_str()) == 0;
  }

  AppEnvironment env_;
  TempDir dir_;
};

QTEST_MAIN(ThumbnailsTest)
#include "thumbnails_test.moc"
