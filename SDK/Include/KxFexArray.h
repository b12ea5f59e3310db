// Ordered, growable array of values (typically pointers), indexed from 0.
#pragma once

#include <new>

// Largest number of elements an array may hold.
static const int KX_FEX_ARRAY_MAX = 0x7FFFFFFF / 16;

// TYPE is the stored element (default-constructible, copyable); ARG_TYPE is how elements are passed in.
// When full, the array grows by its growth step or, with no step set, by size/8 clamped to 4..1024.
template <class TYPE, class ARG_TYPE = const TYPE&>
class CFexArray {
public:
    CFexArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}
    ~CFexArray() { delete[] m_pData; }
    CFexArray(const CFexArray&) = delete;
    CFexArray& operator=(const CFexArray&) = delete;

    // Number of elements in use.
    int GetSize() const { return m_nSize; }
    // Same as GetSize.
    int GetCount() const { return m_nSize; }
    // True when the array holds no element.
    bool IsEmpty() const { return m_nSize == 0; }
    // Index of the last element, -1 when empty.
    int GetUpperBound() const { return m_nSize - 1; }
    // Elements allocated (in use or spare).
    int GetAllocSize() const { return m_nMaxSize; }
    // Growth step; 0 means size/8 clamped to 4..1024.
    int GetGrowBy() const { return m_nGrowBy; }

    // Sets the length to nNewSize (new elements are value-initialised); nGrowBy >= 0 also sets the growth step.
    // False (array unchanged) when nNewSize is negative or too large or memory runs out.
    bool SetSize(int nNewSize, int nGrowBy = -1)
    {
        if (nNewSize < 0 || nNewSize > KX_FEX_ARRAY_MAX)
            return false;
        if (nGrowBy >= 0)
            m_nGrowBy = nGrowBy;
        if (nNewSize > m_nMaxSize && !Reserve(GrownCapacity(nNewSize)))
            return false;
        for (int i = m_nSize; i < nNewSize; ++i)
            m_pData[i] = TYPE();
        for (int i = nNewSize; i < m_nSize; ++i)
            m_pData[i] = TYPE();
        m_nSize = nNewSize;
        return true;
    }

    // Appends one element; returns its index, or -1 when memory runs out.
    int Add(ARG_TYPE element)
    {
        int idx = m_nSize;
        if (!SetSize(idx + 1))
            return -1;
        m_pData[idx] = element;
        return idx;
    }

    // Inserts nCount copies of element before index nIndex (appending when nIndex >= size); false on failure.
    bool InsertAt(int nIndex, ARG_TYPE element, int nCount = 1)
    {
        if (nIndex < 0 || nCount <= 0 || nCount > KX_FEX_ARRAY_MAX - m_nSize)
            return false;
        int nOld = m_nSize;
        TYPE copy = element; // element may refer into the array, which SetSize can move
        if (nIndex >= nOld) {
            if (!SetSize(nIndex + nCount))
                return false;
        } else {
            if (!SetSize(nOld + nCount))
                return false;
            for (int i = nOld - 1; i >= nIndex; --i)
                m_pData[i + nCount] = m_pData[i];
        }
        for (int i = 0; i < nCount; ++i)
            m_pData[nIndex + i] = copy;
        return true;
    }

    // Removes nCount elements from nIndex on (limited to the end); false when nIndex is out of range.
    bool RemoveAt(int nIndex, int nCount = 1)
    {
        if (nIndex < 0 || nIndex >= m_nSize || nCount < 0)
            return false;
        if (nCount > m_nSize - nIndex)
            nCount = m_nSize - nIndex;
        for (int i = nIndex + nCount; i < m_nSize; ++i)
            m_pData[i - nCount] = m_pData[i];
        for (int i = m_nSize - nCount; i < m_nSize; ++i)
            m_pData[i] = TYPE();
        m_nSize -= nCount;
        return true;
    }

    // Empties the array and frees its storage; the elements themselves are not deleted.
    void RemoveAll()
    {
        delete[] m_pData;
        m_pData = nullptr;
        m_nSize = 0;
        m_nMaxSize = 0;
    }

    // Element at nIndex (unchecked).
    TYPE GetAt(int nIndex) const { return m_pData[nIndex]; }
    // Replaces the element at nIndex (unchecked).
    void SetAt(int nIndex, ARG_TYPE element) { m_pData[nIndex] = element; }
    // Reference to the element at nIndex (unchecked).
    TYPE& ElementAt(int nIndex) { return m_pData[nIndex]; }
    TYPE& operator[](int nIndex) { return m_pData[nIndex]; }
    TYPE operator[](int nIndex) const { return m_pData[nIndex]; }
    // The contiguous elements; null while nothing is allocated.
    TYPE* GetData() { return m_pData; }
    const TYPE* GetData() const { return m_pData; }

private:
    int GrownCapacity(int nNeeded) const
    {
        int nGrow = m_nGrowBy;
        if (nGrow <= 0) {
            nGrow = m_nSize / 8;
            nGrow = nGrow < 4 ? 4 : (nGrow > 1024 ? 1024 : nGrow);
        }
        int nNew = (m_nMaxSize > KX_FEX_ARRAY_MAX - nGrow) ? KX_FEX_ARRAY_MAX : m_nMaxSize + nGrow;
        return nNew < nNeeded ? nNeeded : nNew;
    }

    bool Reserve(int nMax)
    {
        TYPE* p = new (std::nothrow) TYPE[nMax]();
        if (!p)
            return false;
        for (int i = 0; i < m_nSize; ++i)
            p[i] = m_pData[i];
        delete[] m_pData;
        m_pData = p;
        m_nMaxSize = nMax;
        return true;
    }

    TYPE* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};
