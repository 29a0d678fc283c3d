// shared_pointer<T>: a reference-counted handle for objects that several threads hold
// (filters, event databases, connections, channel pools). The counter lives on the heap
// next to its own mutex; the holder that drops the count to 0 deletes the object.
//
// The deleter is captured where the handle is built from a raw pointer, so records that
// carry handles (Registry::Entry) may be copied and destroyed where T is only declared.
#pragma once

#include <cstddef>
#include <mutex>

template <typename T> class shared_pointer
{
public:
    struct reference_counter {
        unsigned int count;
        std::mutex mutex;
        void (*destroy)(T *);
    };

    shared_pointer() : counter(newCounter(nullptr)), pointer(nullptr) {}
    // Takes ownership of p (may be null).
    explicit shared_pointer(T *p) : counter(newCounter(&destroyObject)), pointer(p) {}
    shared_pointer(const shared_pointer &other) : counter(other.counter), pointer(other.pointer)
    {
        reference();
    }
    ~shared_pointer() { dereference(); }

    shared_pointer &operator=(const shared_pointer &other)
    {
        if (counter != other.counter) {
            // Take the new reference first: other may live inside the object released below.
            reference_counter *new_counter = other.counter;
            T *new_pointer = other.pointer;
            {
                std::lock_guard<std::mutex> guard(new_counter->mutex);
                ++new_counter->count;
            }
            dereference();
            counter = new_counter;
            pointer = new_pointer;
        }
        return *this;
    }
    shared_pointer &operator=(T *p)
    {
        shared_pointer fresh(p);
        return *this = fresh;
    }

    bool operator==(const T *p) const { return pointer == p; }
    bool operator!=(const T *p) const { return pointer != p; }
    bool operator==(const shared_pointer &other) const { return pointer == other.pointer; }
    bool operator!=(const shared_pointer &other) const { return pointer != other.pointer; }

    T &operator*() const { return *pointer; }
    T *operator->() const { return pointer; }
    T *get() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

    // Holders sharing this object (1 for a handle of its own).
    unsigned int use_count() const
    {
        std::lock_guard<std::mutex> guard(counter->mutex);
        return counter->count;
    }

private:
    static void destroyObject(T *p) { delete p; }
    static reference_counter *newCounter(void (*destroy)(T *))
    {
        reference_counter *c = new reference_counter;
        c->count = 1;
        c->destroy = destroy;
        return c;
    }

    void reference()
    {
        std::lock_guard<std::mutex> guard(counter->mutex);
        ++counter->count;
    }
    void dereference()
    {
        bool last;
        {
            std::lock_guard<std::mutex> guard(counter->mutex);
            last = --counter->count == 0;
        }
        if (last) {
            if (pointer != nullptr && counter->destroy != nullptr) {
                counter->destroy(pointer);
            }
            delete counter;
        }
        counter = nullptr;
        pointer = nullptr;
    }

    reference_counter *counter;
    T *pointer;
};
