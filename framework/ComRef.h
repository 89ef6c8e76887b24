#pragma once
// Holds one COM interface and releases it when it goes.
template <class T>
class CComRef {
public:
    CComRef() = default;
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;
    ~CComRef()
    {
        if (m_p)
            m_p->Release();
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T** Put() { return &m_p; }
    void** Out() { return reinterpret_cast<void**>(&m_p); }

private:
    T* m_p = nullptr;
};
