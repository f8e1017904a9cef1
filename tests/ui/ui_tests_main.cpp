// Runs every registered dialog test class with the programs' font, name and
// Japanese Qt texts.
#include <QApplication>
#include <QTest>

#include "common/ui/dialog_app.h"
#include "common/ui/dialog_units.h"
#include "tests/ui/ui_test_support.h"

namespace quarvent::test {
std::vector<TestFactory>& Registry() {
  static std::vector<TestFactory> registry;
  return registry;
}
}  // namespace quarvent::test

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("server"));
  QApplication::setFont(quarvent::DialogFont());
  // Qt's own texts in Japanese, as the programs have them.
  quarvent::CDialogApp::LoadQtTranslations();
  // `ui_tests ClassName [options]` runs one class; otherwise all of them run.
  const char* only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
  int failures = 0;
  for (const auto& factory : quarvent::test::Registry()) {
    std::unique_ptr<QObject> tests = factory();
    if (only != nullptr) {
      if (qstrcmp(tests->metaObject()->className(), only) != 0) continue;
      argv[1] = argv[0];
      failures += QTest::qExec(tests.get(), argc - 1, argv + 1);
      argv[1] = const_cast<char*>(only);
      continue;
    }
    failures += QTest::qExec(tests.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
