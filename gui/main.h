#ifndef VARNOLIXGUI_MAIN_H_
#define VARNOLIXGUI_MAIN_H_

#include <QString>
#include <QWidget>

class QGroupBox;
class QHBoxLayout;
class QLineEdit;
class QPushButton;

/// The one window of VarnolixGui: lets the user pick an input file and an output folder,
/// shows both choices and keeps them, and ends the program from its "Quit" button.
///
/// Always a top-level window. Every widget belongs to the window's widget tree and is
/// deleted with it. Choosing starts nothing: the paths are only shown and kept.
class VarnolixGui : public QWidget {
  Q_OBJECT

 public:
  /// Builds the widgets, layouts and connections; both paths start out null.
  VarnolixGui();

  /// The input file chosen last; empty after a cancelled choice, null before any.
  const QString& chosenInputFile() const { return inputFile; }

  /// The output folder chosen last; empty after a cancelled choice, null before any.
  const QString& chosenOutputDirectory() const { return outputDirectory; }

 private slots:
  /// Ends the event loop with status 0.
  void quit();
  /// Asks for a .csv or .txt file through the standard file dialog and shows it.
  void chooseInputFile();
  /// Asks for a folder through the standard folder dialog and shows it.
  void chooseOutputDirectory();

 private:
  QPushButton* quitButton;
  QGroupBox* inputGroup;
  QHBoxLayout* inputLayout;
  QLineEdit* inputEdit;
  QPushButton* inputButton;
  QGroupBox* outputGroup;
  QHBoxLayout* outputLayout;
  QLineEdit* outputEdit;
  QPushButton* outputButton;
  QString inputFile;
  QString outputDirectory;
};

#endif  // VARNOLIXGUI_MAIN_H_
