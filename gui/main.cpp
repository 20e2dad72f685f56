// VarnolixGui: the path-choosing window and the program's entry.

#include "main.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// Shown in a path field while nothing is chosen.
const char kNothingChosen[] = "...";
// Where both dialogs start: the folder the program was started in.
const char kStartDirectory[] = "./";
}  // namespace

VarnolixGui::VarnolixGui() : QWidget(nullptr, Qt::WindowFlags()) {
  quitButton = new QPushButton(tr("Quit"));

  inputGroup = new QGroupBox(QStringLiteral("Eingabe Datei"), this);
  inputLayout = new QHBoxLayout;
  inputButton = new QPushButton(tr("Datei ..."));
  inputEdit = new QLineEdit(QString::fromLatin1(kNothingChosen), this);
  inputEdit->setReadOnly(true);
  inputLayout->addWidget(inputEdit);
  inputLayout->addWidget(inputButton);
  inputGroup->setLayout(inputLayout);

  outputGroup = new QGroupBox(QStringLiteral("Ausgabe Ordner"), this);
  outputLayout = new QHBoxLayout;
  outputButton = new QPushButton(tr("Order ..."));
  outputEdit = new QLineEdit(QString::fromLatin1(kNothingChosen), this);
  outputEdit->setReadOnly(true);
  outputLayout->addWidget(outputEdit);
  outputLayout->addWidget(outputButton);
  outputGroup->setLayout(outputLayout);

  connect(quitButton, &QPushButton::clicked, this, &VarnolixGui::quit);
  connect(inputButton, &QPushButton::clicked, this, &VarnolixGui::chooseInputFile);
  connect(outputButton, &QPushButton::clicked, this, &VarnolixGui::chooseOutputDirectory);

  auto* mainLayout = new QVBoxLayout;
  mainLayout->addWidget(inputGroup);
  mainLayout->addWidget(outputGroup);
  mainLayout->addWidget(quitButton);
  setLayout(mainLayout);

  setWindowTitle(tr("VarnolixGui"));
}

// A slot, so a member even though it needs no instance.
void VarnolixGui::quit() {  // NOLINT(readability-convert-member-functions-to-static)
  QCoreApplication::quit();
}

void VarnolixGui::chooseInputFile() {
  inputFile = QFileDialog::getOpenFileName(this, tr("Datei öffnen"), QString::fromLatin1(kStartDirectory),
                                           tr("Text Dateien (*.csv *.txt)"), nullptr, QFileDialog::Options());
  inputEdit->setText(inputFile.isEmpty() ? QString::fromLatin1(kNothingChosen) : inputFile);
}

void VarnolixGui::chooseOutputDirectory() {
  outputDirectory = QFileDialog::getExistingDirectory(this, tr("Ordner öffnen"), QString::fromLatin1(kStartDirectory),
                                                      QFileDialog::ShowDirsOnly);
  outputEdit->setText(outputDirectory.isEmpty() ? QString::fromLatin1(kNothingChosen) : outputDirectory);
}

#ifndef VARNOLIXGUI_WINDOW_ONLY
int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  VarnolixGui window;
  window.show();
  return QApplication::exec();
}
#endif
