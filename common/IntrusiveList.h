#pragma once
// A doubly linked list whose links live in the elements, so an element can be
// unlinked in constant time through its own address (the handle owners keep).
// The list owns nothing.

#include <cstddef>

template <typename T>
struct ListLink {
    T* prev = nullptr;
    T* next = nullptr;
};

// T has a member `ListLink<T> Link` naming its place in one list.
template <typename T, ListLink<T> T::*Link>
class IntrusiveList {
public:
    T* Front() const { return m_pHead; }
    T* Back() const { return m_pTail; }
    static T* Next(const T* item) { return (item->*Link).next; }
    bool Empty() const { return m_pHead == nullptr; }
    size_t Size() const { return m_nSize; }

    void PushBack(T* item) {
        (item->*Link).prev = m_pTail;
        (item->*Link).next = nullptr;
        if (m_pTail)
            (m_pTail->*Link).next = item;
        else
            m_pHead = item;
        m_pTail = item;
        ++m_nSize;
    }

    void Remove(T* item) {
        ListLink<T>& link = item->*Link;
        if (link.prev)
            (link.prev->*Link).next = link.next;
        else
            m_pHead = link.next;
        if (link.next)
            (link.next->*Link).prev = link.prev;
        else
            m_pTail = link.prev;
        link = ListLink<T>{};
        --m_nSize;
    }

    T* PopFront() {
        T* item = m_pHead;
        if (item)
            Remove(item);
        return item;
    }

private:
    T* m_pHead = nullptr;
    T* m_pTail = nullptr;
    size_t m_nSize = 0;
};
