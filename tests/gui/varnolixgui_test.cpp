// Drives the real window and its real standard dialogs, headless.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "main.h"

namespace {

// Answers the next modal dialog from the event loop: `inspect` checks it, then it is
// either accepted with `selection` or cancelled when `selection` is empty.
void answerNextDialog(const std::function<void(QFileDialog*)>& inspect, const QString& selection) {
  QTimer::singleShot(0, [inspect, selection] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      answerNextDialog(inspect, selection);  // not shown yet: look again
      return;
    }
    inspect(dialog);
    if (selection.isEmpty()) {
      dialog->reject();
    } else {
      dialog->selectFile(selection);
      static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, reached through the public base
    }
  });
}

QLineEdit* pathField(VarnolixGui& window, const QString& groupTitle) {
  for (QGroupBox* group : window.findChildren<QGroupBox*>()) {
    if (group->title() == groupTitle) return group->findChild<QLineEdit*>();
  }
  return nullptr;
}

QPushButton* button(VarnolixGui& window, const QString& text) {
  for (QPushButton* candidate : window.findChildren<QPushButton*>()) {
    if (candidate->text() == text) return candidate;
  }
  return nullptr;
}

}  // namespace

class VarnolixGuiTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(scratch.isValid());
    QDir::setCurrent(scratch.path());
  }

  void startsWithNothingChosen() {
    VarnolixGui window;
    QCOMPARE(window.windowTitle(), QStringLiteral("VarnolixGui"));
    QVERIFY(window.isWindow());
    QVERIFY(window.chosenInputFile().isNull());
    QVERIFY(window.chosenOutputDirectory().isNull());
    for (const QString& title : {QStringLiteral("Eingabe Datei"), QStringLiteral("Ausgabe Ordner")}) {
      QLineEdit* field = pathField(window, title);
      QVERIFY2(field != nullptr, qPrintable(title));
      QCOMPARE(field->text(), QStringLiteral("..."));
      QVERIFY(field->isReadOnly());
    }
    for (const QString& text : {QStringLiteral("Quit"), QStringLiteral("Datei ..."), QStringLiteral("Order ...")}) {
      QVERIFY2(button(window, text) != nullptr, qPrintable(text));
    }
  }

  void pathFieldsIgnoreTyping() {
    VarnolixGui window;
    window.show();
    QLineEdit* field = pathField(window, QStringLiteral("Eingabe Datei"));
    QTest::keyClicks(field, QStringLiteral("typed"));
    QCOMPARE(field->text(), QStringLiteral("..."));
  }

  void choosesAndForgetsAnInputFile() {
    const QString chosen = QDir(scratch.path()).filePath(QStringLiteral("data.csv"));
    QFile file(chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    VarnolixGui window;
    window.show();
    QLineEdit* field = pathField(window, QStringLiteral("Eingabe Datei"));

    bool inspected = false;
    answerNextDialog(
        [&](QFileDialog* dialog) {
          inspected = true;
          QCOMPARE(dialog->windowTitle(), QString::fromUtf8("Datei \xc3\xb6"
                                                            "ffnen"));
          QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("Text Dateien (*.csv *.txt)")});
          QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(scratch.path()).canonicalPath());
          QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
          QVERIFY(!dialog->testOption(QFileDialog::ShowDirsOnly));
          QCOMPARE(dialog->parentWidget(), &window);
        },
        chosen);
    button(window, QStringLiteral("Datei ..."))->click();
    QVERIFY(inspected);
    QCOMPARE(QFileInfo(window.chosenInputFile()).canonicalFilePath(), QFileInfo(chosen).canonicalFilePath());
    QCOMPARE(field->text(), window.chosenInputFile());

    answerNextDialog([](QFileDialog*) {}, QString());
    button(window, QStringLiteral("Datei ..."))->click();
    QVERIFY(window.chosenInputFile().isEmpty());
    QCOMPARE(field->text(), QStringLiteral("..."));
  }

  void choosesAndForgetsAnOutputFolder() {
    QVERIFY(QDir(scratch.path()).mkdir(QStringLiteral("out")));
    const QString chosen = QDir(scratch.path()).filePath(QStringLiteral("out"));
    VarnolixGui window;
    window.show();
    QLineEdit* field = pathField(window, QStringLiteral("Ausgabe Ordner"));

    bool inspected = false;
    answerNextDialog(
        [&](QFileDialog* dialog) {
          inspected = true;
          QCOMPARE(dialog->windowTitle(), QString::fromUtf8("Ordner \xc3\xb6"
                                                            "ffnen"));
          QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(scratch.path()).canonicalPath());
          QVERIFY(dialog->fileMode() == QFileDialog::Directory);
          QCOMPARE(dialog->options() & ~QFileDialog::Options(QFileDialog::DontUseNativeDialog),
                   QFileDialog::Options(QFileDialog::ShowDirsOnly));
        },
        chosen);
    button(window, QStringLiteral("Order ..."))->click();
    QVERIFY(inspected);
    QCOMPARE(QDir(window.chosenOutputDirectory()).canonicalPath(), QDir(chosen).canonicalPath());
    QCOMPARE(field->text(), window.chosenOutputDirectory());

    answerNextDialog([](QFileDialog*) {}, QString());
    button(window, QStringLiteral("Order ..."))->click();
    QVERIFY(window.chosenOutputDirectory().isEmpty());
    QCOMPARE(field->text(), QStringLiteral("..."));
  }

  void quitButtonEndsTheEventLoopWithZero() {
    VarnolixGui window;
    window.show();
    QTimer::singleShot(0, [&window] { button(window, QStringLiteral("Quit"))->click(); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });  // a dead button fails, not hangs
    QCOMPARE(QApplication::exec(), 0);
  }

 private:
  QTemporaryDir scratch;
};

QTEST_MAIN(VarnolixGuiTest)
#include "varnolixgui_test.moc"
