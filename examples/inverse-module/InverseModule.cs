// A classification module in one source file. The entry points need nothing
// but the class's name, its public parameterless constructor and its three
// methods: no base class, no registration.

using System;
using System.Collections.Generic;
using vyr.bridge;
using vyr.bridge.classification;
using vyr.bridge.definition;
using ClassificationAdmin = vyr.bridge.classification.Admin;
using DefinitionAdmin = vyr.bridge.definition.Admin;

namespace CommonClassification.Modules;

/// <summary>
/// Writes the inverse of a classification: for each pair (s, c) of MAPPING's merged view, the
/// pair (c, s) into UPDATE at the output level, which it creates there when no level of it
/// reads yet. The filter and the input level are not used. vClassifyNodes prints each node
/// with the classified ids of its name in MAPPING.
///
/// Holds the services that vInit bound, for the run that follows (the proxies are valid until
/// the run returns); one thread at a time, as every module object. A refusal of the store is
/// the proxies' FailureException and reaches the host as the module's error.
/// </summary>
public sealed class CommonClassificationModule
{
    private IDirectories? directories;
    private ClassificationAdmin? store;
    private DefinitionAdmin? definitions;

    public void vInit(IDirectories directories, ClassificationAdmin classificationAdmin, DefinitionAdmin definitionAdmin)
    {
        this.directories = directories;
        store = classificationAdmin;
        definitions = definitionAdmin;
    }

    public void vClassify(string mappingName, string filterMappingName, int iLevel, int outputLevel,
        string definitionToUpdate, CommonClassificationCallback? callback)
    {
        ClassificationAdmin admin = store!;
        var level = (Level)outputLevel;
        if (!HasLevels(admin, mappingName))
        {
            throw new InvalidOperationException($"no classification '{mappingName}' reads at any level");
        }

        // The merged pairs come as a copy: the run's own edits cannot move them.
        var inverse = new SortedDictionary<string, SortedSet<string>>(StringComparer.Ordinal);
        foreach ((string source, string classifiedId) in admin.mappingsGet(mappingName))
        {
            if (!inverse.TryGetValue(classifiedId, out SortedSet<string>? sources))
            {
                inverse.Add(classifiedId, sources = new SortedSet<string>(StringComparer.Ordinal));
            }
            sources.Add(source);
        }

        if (!HasLevels(admin, definitionToUpdate))
        {
            admin.boCreateClassification(definitionToUpdate, "inverse of " + mappingName, "", "", "", false, false, level);
        }
        using (WriteAccess access = admin.writeAccessGet(definitionToUpdate))
        {
            access.boLockFile(level);
            int done = 0;
            foreach ((string classifiedId, SortedSet<string> sources) in inverse)
            {
                bool first = true;
                foreach (string source in sources)
                {
                    if (first)
                    {
                        access.boSetMapping(classifiedId, source, level);
                    }
                    else
                    {
                        access.boAddMapping(classifiedId, source, level);
                    }
                    first = false;
                }
                callback?.vProgress(++done, inverse.Count);
            }
        } // written back here
        callback?.vMessage($"wrote the inverse of {mappingName} into {definitionToUpdate} " +
            $"(user folder {directories!.userDirectoryGet()})");
    }

    public void vClassifyNodes(string mappingName, Node node)
    {
        Console.Out.WriteLine("nodes of " + definitions!.sNameGet());
        PrintNode(store!, mappingName, node, 1);
    }

    // True when a level of the id reads. boClassificationExists comes first:
    // cachesGet makes an empty entry for an unknown id.
    private static bool HasLevels(ClassificationAdmin admin, string id) =>
        admin.boClassificationExists(id) && admin.cachesGet(id).Count != 0;

    private static void PrintNode(ClassificationAdmin admin, string mapping, Node node, int depth)
    {
        string name = node.sNameGet();
        IReadOnlySet<string>? classified = admin.pClassifiedIdsGet(mapping, name);
        Console.Out.WriteLine(new string(' ', 2 * depth) + name + ":" +
            (classified == null || classified.Count == 0 ? "" : " " + string.Join(" ", classified)));
        foreach (Node child in node.childrenGet())
        {
            PrintNode(admin, mapping, child, depth + 1);
        }
    }
}
