#pragma once
// Checks inside a table of rows: a failure names the row it came from, with
// the values compared, so "case 7" never has to be counted out by hand.
#include <QtTest>

namespace rowcompare {

template <typename A, typename E>
bool equal(const QByteArray& row, const A& actual, const E& expected, const char* what, const char* file, int line)
{
  if (actual == expected)
    return true;
  char* a = QTest::toString(actual);
  char* e = QTest::toString(expected);
  QTest::qFail(qPrintable(QStringLiteral("row \"%1\": %2 is %3, expected %4")
                              .arg(QString::fromUtf8(row), QString::fromUtf8(what), QString::fromUtf8(a ? a : "?"),
                                   QString::fromUtf8(e ? e : "?"))),
               file, line);
  delete[] a;
  delete[] e;
  return false;
}

}

// QCOMPARE for one row of a table: returns from the test function on failure.
#define ROW_COMPARE(row, actual, expected)                                                             \
  do {                                                                                                 \
    if (!rowcompare::equal(row, actual, expected, #actual, __FILE__, __LINE__))                        \
      return;                                                                                          \
  } while (false)

// QVERIFY for one row of a table.
#define ROW_VERIFY(row, condition)                                                                     \
  do {                                                                                                 \
    if (!(condition)) {                                                                                \
      QTest::qFail(qPrintable(QStringLiteral("row \"%1\": %2").arg(QString::fromUtf8(QByteArray(row)), #condition)), \
                   __FILE__, __LINE__);                                                                \
      return;                                                                                          \
    }                                                                                                  \
  } while (false)
