// Process-wide services derive from Singleton<T>, instantiated with the class
// itself. The instance is a function-local static: created on first use with
// thread-safe initialisation, destroyed at exit.
#ifndef ORU_COMMON_SINGLETON_H
#define ORU_COMMON_SINGLETON_H

namespace analysis::orbx::common::singleton {

template <class T>
class Singleton {
public:
    static T& GetInstance() {
        static T instance;
        return instance;
    }

    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

protected:
    Singleton() = default;
    virtual ~Singleton() = default;
};

}  // namespace analysis::orbx::common::singleton

#endif  // ORU_COMMON_SINGLETON_H
