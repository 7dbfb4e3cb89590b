#pragma once

namespace kavro {

// Double-ended queue of at most N entries in fixed storage, so that sound moving between the
// threads never allocates.
template <typename T, int N>
class BlockDeque {
public:
    bool Empty() const { return count_ == 0; }
    int Size() const { return count_; }
    void Clear() { head_ = count_ = 0; }
    bool PushBack(T v) {
        if (count_ == N) return false;
        items_[(head_ + count_) % N] = v;
        ++count_;
        return true;
    }
    T PopFront() {
        T v = items_[head_];
        head_ = (head_ + 1) % N;
        --count_;
        return v;
    }
    T PopBack() {
        --count_;
        return items_[(head_ + count_) % N];
    }

private:
    T items_[N] = {};
    int head_ = 0;
    int count_ = 0;
};

}  // namespace kavro
