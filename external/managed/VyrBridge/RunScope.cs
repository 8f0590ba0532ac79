using System;
using System.Collections.Generic;

namespace vyr.bridge;

/// <summary>
/// The life of one classification run: the proxies the entry point made around the caller's
/// native objects belong to it and may be used only until it ends. When it ends, every write
/// access made through the run's store proxy and not yet disposed is disposed (written back and
/// released, as its destructor would), then every proxy of the run throws
/// <see cref="ObjectDisposedException"/>. Thread-safe: guarded by its own lock.
/// </summary>
internal sealed class RunScope
{
    private readonly object guard = new();
    private readonly List<IDisposable> owned = new();
    private volatile bool ended;

    /// <summary>Throws when the run is over.</summary>
    public void Check(string what)
    {
        if (ended)
        {
            throw new ObjectDisposedException(what, $"{what}: the classification run that made it is over.");
        }
    }

    /// <summary>Has the object disposed when the run ends (at once when it has ended).</summary>
    public void Own(IDisposable disposable)
    {
        lock (guard)
        {
            if (!ended)
            {
                owned.Add(disposable);
                return;
            }
        }
        disposable.Dispose();
    }

    /// <summary>Ends the run: disposes what it owns, in reverse order, then closes every proxy.</summary>
    public void End()
    {
        List<IDisposable> ending;
        lock (guard)
        {
            ending = new List<IDisposable>(owned);
            owned.Clear();
        }
        ending.Reverse();
        foreach (IDisposable disposable in ending)
        {
            disposable.Dispose();
        }
        lock (guard)
        {
            ended = true;
        }
    }
}
