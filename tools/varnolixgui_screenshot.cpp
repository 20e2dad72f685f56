// Renders the real VarnolixGui window, as it looks right after start, to a PNG file.
// Usage: varnolixgui_screenshot OUTPUT.png (run with QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "main.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  VarnolixGui window;
  window.resize(window.sizeHint().expandedTo(QSize(420, 0)));
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
