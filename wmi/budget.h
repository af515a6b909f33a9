#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>

namespace qelto::wmi {

// The memory that the answers of hosts scanned at the same time (a batch) may hold together.
// Each source's cap on one host's answer (64 MiB over SSH, 256 MiB over WS-Management) still
// holds; what an answer holds besides is taken out of this budget as it arrives, so that many
// hosts at once cannot hold many times the cap.
class AnswerBudget {
  public:
    explicit AnswerBudget(qint64 bytes) : size_(bytes), left_(bytes) {}
    qint64 size() const { return size_; }
    qint64 left() const { return left_.load(); }
    // Takes `bytes`, or nothing and false when less is left.
    bool take(qint64 bytes) {
        qint64 now = left_.load();
        do {
            if (now < bytes) return false;
        } while (!left_.compare_exchange_weak(now, now - bytes));
        return true;
    }
    void give(qint64 bytes) { left_.fetch_add(bytes); }

  private:
    const qint64 size_;
    std::atomic<qint64> left_;
};

// What one answer took of a budget (none: no budget), given back when it is destroyed.
class BudgetShare {
  public:
    explicit BudgetShare(std::shared_ptr<AnswerBudget> budget) : budget_(std::move(budget)) {}
    ~BudgetShare() {
        if (budget_) budget_->give(taken_);
    }
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;

    bool take(qint64 bytes) {
        if (!budget_) return true;
        if (!budget_->take(bytes)) return false;
        taken_ += bytes;
        return true;
    }
    // The size of the budget in MiB, for messages.
    qint64 mebibytes() const { return budget_ ? budget_->size() >> 20 : 0; }

  private:
    std::shared_ptr<AnswerBudget> budget_;
    qint64 taken_ = 0;
};

}  // namespace qelto::wmi
