from typing import Dict, List, Optional, Sequence, Union

from matplotlib.axes import Axes
from matplotlib.figure import Figure

from corvane import Genome, Model

__all__ = ["plot_history", "plot_network"]

def plot_network(network: Union[Model, Genome], ax: Optional[Axes] = None, radius: float = 0.22) -> Axes: ...
def plot_history(history: Dict[str, List[float]], keys: Optional[Sequence[str]] = None) -> Figure: ...
