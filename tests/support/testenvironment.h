// Points the per-user folders (XDG_DATA_HOME, HOME, XDG_DOWNLOAD_DIR) at a
// fresh temporary folder before anything reads them, so a test never touches
// the real support folder. Use LUNVIK_TEST_MAIN(TestClass) in place of
// QTEST_GUILESS_MAIN.
#pragma once

#include <QString>
#include <QTest>

namespace TestEnvironment {

// Creates the temporary home; call before the QCoreApplication exists. It is
// removed at exit unless LUNVIK_TEST_HOMES names a folder to keep it in.
void setUp();
// The temporary home folder.
QString home();
// Removes every file of the support folder (between test functions).
void clearSupportFolder();
// The bytes of the file at `path`; empty when it cannot be read.
QByteArray readFile(const QString &path);

} // namespace TestEnvironment

// main() with a temporary home, then `beforeApp` (a statement, may be empty)
// before the `Application` exists.
#define LUNVIK_TEST_MAIN_WITH(TestObject, Application, beforeApp)                                             \
    int main(int argc, char **argv)                                                                           \
    {                                                                                                         \
        TestEnvironment::setUp();                                                                             \
        beforeApp;                                                                                            \
        Application app(argc, argv);                                                                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                              \
        TestObject tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                            \
        return QTest::qExec(&tc, argc, argv);                                                                 \
    }
#define LUNVIK_TEST_MAIN(TestObject) LUNVIK_TEST_MAIN_WITH(TestObject, QCoreApplication, )
