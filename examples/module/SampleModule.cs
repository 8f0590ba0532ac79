// The sample classification module that the demo host, the command-line tool
// and the whole-road test run. It does one small but real run through the
// classification proxy, the way a real module would:
//
//   For the classification MAPPING, the FILTER classification and the
//   classification to UPDATE, keep each pair (s, c) of MAPPING whose
//   classified id c is allowed by FILTER, and write the kept pairs into
//   UPDATE at the output level.
//
//   c is allowed when FILTER's merged view maps c to "allow": a filter file
//   lists <source id="steel"><classified id="allow" /></source>.
//
//   The input level bounds what is read of MAPPING: only its levels at or
//   below iLevel count, and the highest of those that lists a source id
//   decides its set. With iLevel User (or above) that is the merged view the
//   store built; with Shared the user's own overrides are left out. FILTER is
//   always read through its whole merged view.
//
//   At the output level, each source id of which something is kept gets
//   exactly the kept set. A source id of which nothing is kept is emptied
//   there if that level already lists it (so a rerun clears what an earlier
//   run wrote) and left unlisted otherwise. UPDATE is created at the output
//   level when no level of it reads yet; when it exists at other levels only,
//   locking the output level makes its file from UPDATE's header.
//
// Progress and messages go to the callback when there is one; the run prints
// nothing itself. A failure of the run (a missing classification, a level
// that cannot be written) is thrown as InvalidOperationException and reaches
// the caller of the entry point unchanged; when the store refused, its
// message ends with the store's failure (what failed and why), and the
// store's FailureException is its InnerException. vClassifyNodes prints each
// node with its children count and its classified ids in the named
// classification.

using System;
using System.Collections.Generic;
using System.Linq;
using vyr.bridge;
using vyr.bridge.classification;
using vyr.bridge.definition;
using ClassificationAdmin = vyr.bridge.classification.Admin;
using DefinitionAdmin = vyr.bridge.definition.Admin;

namespace CommonClassification.Modules;

/// <summary>
/// The sample classification module. Holds the store that vInit bound, for the run that
/// follows; one thread at a time.
/// </summary>
public sealed class CommonClassificationModule
{
    // The classified id by which a filter classification allows an id.
    private const string Allowed = "allow";

    private ClassificationAdmin? store;

    /// <summary>Binds the services for the run that follows; the sample uses the store alone.</summary>
    public void vInit(IDirectories directories, ClassificationAdmin classificationAdmin, DefinitionAdmin definitionAdmin)
    {
        store = classificationAdmin;
    }

    /// <summary>Writes the pairs of the mapping that the filter allows into the classification to update.</summary>
    public void vClassify(string mappingName, string filterMappingName, int iLevel, int outputLevel,
        string definitionToUpdate, CommonClassificationCallback? callback)
    {
        ClassificationAdmin admin = Bound;
        string mappingId = mappingName, filterId = filterMappingName, updateId = definitionToUpdate;

        if (outputLevel != (int)Level.Shared && outputLevel != (int)Level.User)
        {
            throw new InvalidOperationException(
                $"output level {LevelName(outputLevel)} is not writable (shared or user)");
        }
        foreach (string id in new[] { mappingId, filterId })
        {
            if (!HasLevels(admin, id))
            {
                throw new InvalidOperationException($"no classification '{id}' reads at any level");
            }
        }

        SortedDictionary<string, IReadOnlySet<string>> input = RelationUpToLevel(admin, mappingId, iLevel);
        callback?.vMessage($"reading {mappingId} up to level {LevelName(iLevel)}: " +
            $"{input.Values.Sum(set => set.Count)} pairs of {input.Count} source ids; " +
            $"keeping those that {filterId} allows");

        var level = (Level)outputLevel;
        string at = $"'{updateId}' at level {LevelName(outputLevel)}";
        if (!HasLevels(admin, updateId))
        {
            try
            {
                admin.boCreateClassification(updateId, $"{mappingId} allowed by {filterId}",
                    "made by the sample classification module", "", "", false, false, level);
            }
            catch (FailureException refused)
            {
                throw Refused($"cannot create {at}", refused);
            }
            callback?.vMessage($"created {updateId} at level {LevelName(outputLevel)}");
        }

        int keptPairs = 0, keptSources = 0;
        // Disposed on every way out: the locked level is written back and let go.
        using (WriteAccess access = admin.writeAccessGet(updateId))
        {
            try
            {
                access.boLockFile(level);
            }
            catch (FailureException refused)
            {
                throw Refused($"cannot open the file of {at} for writing", refused);
            }
            // The sources that the output level lists, with something, before the run.
            var listed = new HashSet<string>(StringComparer.Ordinal);
            if (admin.cachesGet(updateId).TryGetValue(level, out var before))
            {
                listed.UnionWith(before.Where(entry => entry.Value.Count != 0).Select(entry => entry.Key));
            }

            int done = 0;
            try
            {
                foreach ((string source, IReadOnlySet<string> classified) in input)
                {
                    bool first = true;
                    foreach (string classifiedId in classified)
                    {
                        if (!admin.boMappingExists(filterId, classifiedId, Allowed))
                        {
                            continue;
                        }
                        if (first)
                        {
                            access.boSetMapping(source, classifiedId, level);
                        }
                        else
                        {
                            access.boAddMapping(source, classifiedId, level);
                        }
                        first = false;
                        ++keptPairs;
                    }
                    if (!first)
                    {
                        ++keptSources;
                    }
                    else if (listed.Contains(source))
                    {
                        access.vMappedToSourceRemove(source, level);
                    }
                    callback?.vProgress(++done, input.Count);
                }
            }
            catch (FailureException refused)
            {
                throw Refused($"cannot edit {at}", refused);
            }
            // Saved now, so that the run reports "wrote" only when it did.
            try
            {
                access.boWriteBack();
            }
            catch (FailureException refused)
            {
                throw Refused($"could not write {at} back into its file", refused);
            }
        }

        callback?.vMessage($"kept {keptPairs} pairs of {keptSources} source ids; " +
            $"wrote them into {updateId} at level {LevelName(outputLevel)}");
    }

    /// <summary>Prints each node, its children count and its classified ids in the mapping.</summary>
    public void vClassifyNodes(string mappingName, Node node)
    {
        Console.Out.WriteLine($"module: nodes classified by {mappingName}");
        PrintNode(Bound, mappingName, node, 0);
        Console.Out.Flush();
    }

    private ClassificationAdmin Bound =>
        store ?? throw new InvalidOperationException("the module ran before vInit bound the store");

    private static string LevelName(int level) => level switch
    {
        (int)Level.Sys => "sys",
        (int)Level.Shared => "shared",
        (int)Level.User => "user",
        _ => $"level {level}",
    };

    // The module's error for a refusal of the store: the run's words, then
    // the store's failure (what failed: why).
    private static InvalidOperationException Refused(string what, FailureException refused)
    {
        Failure failure = refused.Failure;
        string because = failure.What.Length == 0 ? ""
            : failure.Reason.Length == 0 ? $": {failure.What}" : $": {failure.What}: {failure.Reason}";
        return new InvalidOperationException(what + because, refused);
    }

    // True when the store holds at least one level of the id that reads. Asks
    // boClassificationExists first: cachesGet makes an empty entry for an
    // unknown id, which the existence test would then count.
    private static bool HasLevels(ClassificationAdmin admin, string id) =>
        admin.boClassificationExists(id) && admin.cachesGet(id).Count != 0;

    // The id's pairs as seen from its levels at or below iLevel: the highest
    // of those levels that lists a source id decides its set. With every level
    // counted this is the store's merged view, sources listed with no
    // classified id included. A copy, so that the run's own edits cannot move it.
    private static SortedDictionary<string, IReadOnlySet<string>> RelationUpToLevel(ClassificationAdmin admin,
        string id, int iLevel)
    {
        var relation = new SortedDictionary<string, IReadOnlySet<string>>(StringComparer.Ordinal);
        foreach ((Level level, IReadOnlyDictionary<string, IReadOnlySet<string>> pairs) in admin.cachesGet(id).OrderBy(entry => entry.Key))
        {
            if ((int)level > iLevel)
            {
                break;
            }
            foreach ((string source, IReadOnlySet<string> classified) in pairs)
            {
                relation[source] = classified;
            }
        }
        return relation;
    }

    private static void PrintNode(ClassificationAdmin admin, string mappingId, Node node, int depth)
    {
        IReadOnlyList<Node> children = node.childrenGet();
        string name = node.sNameGet();
        IReadOnlySet<string>? classified = admin.pClassifiedIdsGet(mappingId, name);
        Console.Out.WriteLine($"{new string(' ', 2 * depth + 2)}{name} ({children.Count} " +
            $"{(children.Count == 1 ? "child" : "children")}): " +
            (classified == null || classified.Count == 0 ? "not classified" : string.Join(", ", classified)));
        foreach (Node child in children)
        {
            PrintNode(admin, mappingId, child, depth + 1);
        }
    }
}
