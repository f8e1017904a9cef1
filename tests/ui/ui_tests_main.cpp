// Runs every registered dialog test class with the programs' font and name.
#include <QApplication>
#include <QTest>

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
  int failures = 0;
  for (const auto& factory : quarvent::test::Registry()) {
    std::unique_ptr<QObject> tests = factory();
    failures += QTest::qExec(tests.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
