/* A program built against an installed fwprune, as a user's would be: through find_package or
 * pkg-config. It checks that the header and the library it links agree on the version, and runs
 * both jobs on small in-memory matrices. */
#include <fwprune.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    if (strcmp(fwpruneGetVersion(), FWPRUNE_VERSION_STRING) != 0) {
        fprintf(stderr, "library %s, header %s\n", fwpruneGetVersion(), FWPRUNE_VERSION_STRING);
        return 1;
    }
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = FWPRUNE_BACKEND_CPU;

    /* 0->1, 1->2, 0->2: the walk 0->1->2 bypasses 0->2. */
    unsigned char graph[3][3] = {{0, 1, 1}, {0, 0, 1}, {0, 0, 0}};
    const unsigned char reduced[3][3] = {{0, 1, 0}, {0, 0, 1}, {0, 0, 0}};
    if (fwpruneReduceAdjacencyMatrix(&graph[0][0], 3, 3, &options) != FWPRUNE_OK ||
        memcmp(graph, reduced, sizeof graph) != 0) {
        fprintf(stderr, "reduction: %s\n", fwpruneGetLastErrorMessage());
        return 1;
    }

    /* 0.9 from 0 to 2 is beaten by the path 0->1->2, whose weakest link is 0.3. */
    float weights[3][3] = {{0.0f, 0.2f, 0.9f}, {2.0f, 0.0f, 0.3f}, {2.0f, 2.0f, 0.0f}};
    if (fwprunePruneWeightMatrix(&weights[0][0], 3, 3, 0.1f, 1.0f, &options) != FWPRUNE_OK ||
        weights[0][2] != 2.0f || weights[0][1] != 0.2f || weights[1][2] != 0.3f) {
        fprintf(stderr, "weakest link: %s\n", fwpruneGetLastErrorMessage());
        return 1;
    }
    printf("fwprune %s: both jobs gave the expected cells\n", fwpruneGetVersion());
    return 0;
}
