#pragma once

#include "app/prompts.h"
#include "app/state.h"
#include "wmi/connector.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qelto::test {

// A connector that records every request and answers as the test says. It is called on the
// window's worker thread.
class FakeConnector : public wmi::Connector {
  public:
    using Answer = std::function<std::unique_ptr<wmi::Service>(const wmi::ConnectRequest&)>;

    explicit FakeConnector(Answer answer) : answer_(std::move(answer)) {}

    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& request) override {
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            answer = answer_;
        }
        return answer(request);
    }
    void setAnswer(Answer answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    std::vector<wmi::ConnectRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    mutable std::mutex mutex_;
    Answer answer_;
    std::vector<wmi::ConnectRequest> requests_;
};

inline FakeConnector::Answer answerFrom(const char* json) {
    std::shared_ptr<const wmi::InstanceStore> store = wmi::readSnapshot(QByteArray(json));
    return
        [store](const wmi::ConnectRequest&) { return std::make_unique<wmi::StoreService>(store); };
}

inline FakeConnector::Answer failWith(std::uint32_t number, const char* description) {
    const QString text = QString::fromUtf8(description);
    return [number, text](const wmi::ConnectRequest&) -> std::unique_ptr<wmi::Service> {
        throw wmi::Error(number, text);
    };
}

// Answers the window's questions without a person at the screen, and notes what it was shown
// and whether the progress window was on the screen at that moment.
class FakePrompts : public Prompts {
  public:
    void inform(QWidget* parent, const QString& text) override {
        messages << text;
        const auto* progress = parent ? parent->findChild<state*>() : nullptr;
        progressVisibleAtMessage.push_back(progress && progress->isVisible());
    }
    bool ask(QWidget* parent, const QString& text) override {
        questions << text;
        askedOverVisibleParent.push_back(parent && parent->isVisible());
        return askAnswer;
    }
    bool confirmQuit(QWidget*) override {
        ++quitQuestions;
        return quitAnswer;
    }

    bool trustHostKey(QWidget*, const wmi::HostKeyQuestion& question) override {
        hostKeyQuestions << question.fingerprint;
        return trustAnswer;
    }

    QStringList messages;
    std::vector<bool> progressVisibleAtMessage;
    QStringList questions;
    std::vector<bool> askedOverVisibleParent;
    bool askAnswer = false;
    QStringList hostKeyQuestions;
    bool trustAnswer = false;
    int quitQuestions = 0;
    bool quitAnswer = false;
};

}  // namespace qelto::test
