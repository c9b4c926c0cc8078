#pragma once

namespace ZRV::PTA {

// A piece of work that a Thread runs. Run may delete the Thread object that
// runs it, as its last act.
class Runnable {
public:
    virtual void Run() = 0;

protected:
    Runnable() = default;
    virtual ~Runnable() = default;
};

}  // namespace ZRV::PTA
