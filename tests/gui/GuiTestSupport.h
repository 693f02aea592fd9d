#pragma once

#include "app/ProgrammerApp.h"
#include "app/ProgrammerDlg.h"
#include "platform/Spooler.h"
#include "tests/support/BoxNames.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gui_test {

// Print queues without a spooler behind them.
class FakeSpooler final : public platform::Spooler {
public:
    explicit FakeSpooler(std::vector<std::string> names = {}) : names_(std::move(names)) {}
    std::vector<std::string> queueNames() override { return names_; }
    std::unique_ptr<platform::PrintQueue> open(const std::string&, int* errorCode) override {
        if (errorCode != nullptr) {
            *errorCode = 1801;
        }
        return nullptr;
    }

private:
    std::vector<std::string> names_;
};

// A settings name no other test uses, so every test starts as a first run.
QString uniqueAppName();

// The main window with its modal questions answered by the test.
class TestDlg : public CProgrammerDlg {
public:
    struct Message {
        std::string text;
        engine::BoxStyle style;
        bool waitCursorShown;
    };

    // With a status port of its own: the programming commands open it, and
    // tests run side by side with each other and with other programs.
    TestDlg(CProgrammerApp& app, platform::Spooler& spooler, QWidget* parent = nullptr);

    std::vector<Message> messages;
    std::deque<std::optional<std::string>> fileChoices;          // front is the next answer
    std::function<engine::ProgramResult(TestDlg&)> programUnit;  // empty: the real engine
    int programUnitCalls = 0;
    int aboutBoxRuns = 0;

    engine::ProgramResult ProgramUnit() override {
        ++programUnitCalls;
        return programUnit ? programUnit(*this) : CProgrammerDlg::ProgramUnit();
    }

    QLineEdit* imagePath() const { return m_imagePath; }
    QComboBox* target() const { return m_target; }
    QLabel* unitCounter() const { return m_unitCounter; }
    QPushButton* button(const char* id) const { return findChild<QPushButton*>(id); }
    const std::string& printer() const { return m_strPrinter; }
    const std::string& fileName() const { return m_strFileName; }

protected:
    engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style) override;
    std::optional<std::string> ChooseImageFile() override {
        if (fileChoices.empty()) {
            return std::nullopt;
        }
        auto next = fileChoices.front();
        fileChoices.pop_front();
        return next;
    }
    void RunAboutBox() override { ++aboutBoxRuns; }
};

}  // namespace gui_test
