#pragma once

// Several test classes in one program: each source registers its class with
// LAUNCHER_TEST(Class) in place of QTEST_MAIN, and TestRunner.cpp runs them all.

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

using TestFactory = std::function<std::unique_ptr<QObject>()>;

inline std::vector<TestFactory>& registeredTests()
{
    static std::vector<TestFactory> tests;
    return tests;
}

inline bool registerTest(TestFactory factory)
{
    registeredTests().push_back(std::move(factory));
    return true;
}

#define LAUNCHER_TEST(Class)                                                                       \
    static const bool registered##Class = registerTest([] { return std::make_unique<Class>(); });
