from vorlent_core import Booster as Booster
from vorlent_core import make_folds as make_folds
from vorlent_core import te_fit_transform as te_fit_transform
from vorlent_core import te_transform as te_transform
