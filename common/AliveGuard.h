#pragma once
// The frames of the loops an object is running that call out: a callback may
// remove the element the loop would visit next, or destroy the object. Each
// such loop pushes a Frame; removals move the frames past the element; the
// owner's destruction marks every frame dead, and the loop checks Alive()
// after each call and touches nothing of the owner once it is false. Frames
// nest when a callback runs the loop again.

// A frame stores its own address in the stack for as long as it lives and takes
// it out in its destructor; GCC cannot see the pairing and warns.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

template <typename T = void>
class FrameStack {
public:
    class Frame {
    public:
        explicit Frame(FrameStack& stack) : m_pStack(&stack), m_pOuter(stack.m_pTop) { stack.m_pTop = this; }
        ~Frame() {
            if (m_pStack)
                m_pStack->m_pTop = m_pOuter;
        }
        Frame(const Frame&) = delete;
        Frame& operator=(const Frame&) = delete;

        bool Alive() const { return m_pStack != nullptr; }
        T* next = nullptr;  // the element the loop visits next

    private:
        friend class FrameStack;
        FrameStack* m_pStack;  // null once the owner is gone
        Frame* m_pOuter;
    };

    FrameStack() = default;
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;
    ~FrameStack() {
        for (Frame* frame = m_pTop; frame; frame = frame->m_pOuter)
            frame->m_pStack = nullptr;
    }

    // item leaves the list: a loop about to visit it visits `after` instead.
    void Removing(const T* item, T* after) {
        for (Frame* frame = m_pTop; frame; frame = frame->m_pOuter)
            if (frame->next == item)
                frame->next = after;
    }
    // The list is emptied: every loop ends.
    void Cleared() {
        for (Frame* frame = m_pTop; frame; frame = frame->m_pOuter)
            frame->next = nullptr;
    }
    bool Running() const { return m_pTop != nullptr; }

private:
    Frame* m_pTop = nullptr;
};

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
