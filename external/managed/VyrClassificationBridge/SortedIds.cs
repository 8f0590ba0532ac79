using System;
using System.Collections;
using System.Collections.Generic;
using System.Diagnostics.CodeAnalysis;

namespace vyr.bridge.classification;

/// <summary>
/// The order of ids in the store: by Unicode code point, which is the byte order of their UTF-8
/// form. Ordinal UTF-16 order differs from it only where a character above U+FFFF meets one in
/// U+E000 to U+FFFF; the surrogates are moved above that range before comparing.
/// </summary>
internal sealed class CodePointOrder : IComparer<string>
{
    public static readonly CodePointOrder Instance = new();

    public int Compare(string? x, string? y)
    {
        if (ReferenceEquals(x, y))
        {
            return 0;
        }
        if (x == null || y == null)
        {
            return x == null ? -1 : 1;
        }
        int length = Math.Min(x.Length, y.Length);
        for (int index = 0; index < length; ++index)
        {
            char a = x[index], b = y[index];
            if (a != b)
            {
                return Fixed(a) - Fixed(b);
            }
        }
        return x.Length - y.Length;
    }

    private static int Fixed(char unit) => unit >= 0xD800 ? (unit >= 0xE000 ? unit - 0x800 : unit + 0x2000) : unit;
}

/// <summary>
/// A read-only set of ids copied from the store, kept as a sorted array in the store's order:
/// cheap to build from what the store gives already sorted, and searched by halving.
/// Immutable, so thread-safe.
/// </summary>
internal sealed class IdSet : IReadOnlySet<string>
{
    private readonly string[] ids;

    /// <summary>Takes the ids, which must be sorted in the store's order and distinct.</summary>
    public IdSet(string[] sortedIds)
    {
        ids = sortedIds;
    }

    public int Count => ids.Length;

    public bool Contains(string item) => item != null && Array.BinarySearch(ids, item, CodePointOrder.Instance) >= 0;

    public IEnumerator<string> GetEnumerator() => ((IEnumerable<string>)ids).GetEnumerator();

    IEnumerator IEnumerable.GetEnumerator() => ids.GetEnumerator();

    public bool IsProperSubsetOf(IEnumerable<string> other) => AsHashSet().IsProperSubsetOf(other);
    public bool IsProperSupersetOf(IEnumerable<string> other) => AsHashSet().IsProperSupersetOf(other);
    public bool IsSubsetOf(IEnumerable<string> other) => AsHashSet().IsSubsetOf(other);
    public bool IsSupersetOf(IEnumerable<string> other) => AsHashSet().IsSupersetOf(other);
    public bool Overlaps(IEnumerable<string> other) => AsHashSet().Overlaps(other);
    public bool SetEquals(IEnumerable<string> other) => AsHashSet().SetEquals(other);

    private HashSet<string> AsHashSet() => new(ids, StringComparer.Ordinal);
}

/// <summary>
/// A read-only map from source id to its classified ids, copied from the store, as sorted arrays
/// in the store's order. Immutable, so thread-safe.
/// </summary>
internal sealed class IdMap : IReadOnlyDictionary<string, IReadOnlySet<string>>
{
    private readonly string[] keys;
    private readonly IReadOnlySet<string>[] values;

    /// <summary>Takes the keys, sorted in the store's order and distinct, and their sets.</summary>
    public IdMap(string[] sortedKeys, IReadOnlySet<string>[] sets)
    {
        keys = sortedKeys;
        values = sets;
    }

    public int Count => keys.Length;
    public IEnumerable<string> Keys => keys;
    public IEnumerable<IReadOnlySet<string>> Values => values;

    public IReadOnlySet<string> this[string key] =>
        TryGetValue(key, out IReadOnlySet<string>? value) ? value : throw new KeyNotFoundException(key);

    public bool ContainsKey(string key) => IndexOf(key) >= 0;

    public bool TryGetValue(string key, [MaybeNullWhen(false)] out IReadOnlySet<string> value)
    {
        int index = IndexOf(key);
        value = index >= 0 ? values[index] : null;
        return index >= 0;
    }

    public IEnumerator<KeyValuePair<string, IReadOnlySet<string>>> GetEnumerator()
    {
        for (int index = 0; index < keys.Length; ++index)
        {
            yield return new KeyValuePair<string, IReadOnlySet<string>>(keys[index], values[index]);
        }
    }

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    private int IndexOf(string key) => key == null ? -1 : Array.BinarySearch(keys, key, CodePointOrder.Instance);
}
